// SPDX-License-Identifier: Apache-2.0
// POSIX_SPAWN_CLOEXEC_DEFAULT for the apple-on-linux build: a spawn whose
// attributes set it closes, in the child, every descriptor above the highest
// one its file actions name (the guard's actions name 0 to 3 and nothing
// between is left open), as macOS closes every descriptor they do not name.
#include <spawn.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace {

constexpr short cloexecDefault = 0x4000; // POSIX_SPAWN_CLOEXEC_DEFAULT

std::mutex access;
std::map<const void *, bool> closing;  // attributes: whether they set the flag
std::map<const void *, int> highest;   // file actions: the highest descriptor named

int named(posix_spawn_file_actions_t *actions, int target) {
  const std::lock_guard guard(access);
  int &most = highest.try_emplace(actions, -1).first->second;
  most = std::max(most, target);
  return 0;
}

} // namespace

extern "C" int appleFakeSpawnSetFlags(posix_spawnattr_t *attributes, short flags) {
  {
    const std::lock_guard guard(access);
    closing[attributes] = (flags & cloexecDefault) != 0;
  }
  return ::posix_spawnattr_setflags(attributes, static_cast<short>(flags & ~cloexecDefault));
}

extern "C" int appleFakeSpawnAddDup2(posix_spawn_file_actions_t *actions, int fd, int target) {
  const int error = ::posix_spawn_file_actions_adddup2(actions, fd, target);
  return error ? error : named(actions, target);
}

extern "C" int appleFakeSpawnAddOpen(posix_spawn_file_actions_t *actions, int target, const char *path, int flags,
                                     mode_t mode) {
  const int error = ::posix_spawn_file_actions_addopen(actions, target, path, flags, mode);
  return error ? error : named(actions, target);
}

// The objects are forgotten once used: another may take their address.
extern "C" int appleFakeSpawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                              const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]) {
  bool close = false;
  int from = 0;
  {
    const std::lock_guard guard(access);
    close = attributes && closing[attributes];
    from = actions && highest.count(actions) ? highest[actions] + 1 : 0;
    closing.erase(attributes);
    highest.erase(actions);
  }
  posix_spawn_file_actions_t none;
  if (close && !actions && ::posix_spawn_file_actions_init(&none) == 0)
    actions = &none;
  if (close && actions)
    ::posix_spawn_file_actions_addclosefrom_np(const_cast<posix_spawn_file_actions_t *>(actions), from);
  const int error = ::posix_spawn(pid, path, actions, attributes, argv, envp);
  if (actions == &none)
    ::posix_spawn_file_actions_destroy(&none);
  return error;
}
