// parent-app <guard-path>
//
// What an application that remaps the Fn key does with FnRemapKit: install
// the remap beside whatever the list already holds, start the guard so the
// remap cannot outlive us, and on a normal quit (SIGTERM, SIGINT or SIGHUP)
// put the list back as it was. Killed instead, the
// guard removes the entry for us.
#include <FnRemapKit/FnRemapKit.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <exception>
#include <string>

extern char **environ;

using namespace FnRemapKit;

namespace {

/// Owns a posix_spawn attribute or file-actions object.
template <typename T, int (*destroy)(T *)> struct SpawnObject {
  T object;
  bool ready;
  explicit SpawnObject(int (*init)(T *)) : ready(init(&object) == 0) {}
  SpawnObject(const SpawnObject &) = delete;
  SpawnObject &operator=(const SpawnObject &) = delete;
  ~SpawnObject() {
    if (ready)
      destroy(&object);
  }
};

std::string hex(std::int64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%" PRIX64, static_cast<std::uint64_t>(value));
  return text;
}

/// Starts the guard the way nothing of ours can reach it: its own session,
/// so a terminal hang-up does not kill it with us; standard streams on
/// /dev/null; no descriptor but those three; default signal handling and
/// an empty mask, whatever ours are. Returns its pid, or -1 with errno set.
pid_t startGuard(const char *guard, std::int64_t src, std::int64_t dst) {
  SpawnObject<posix_spawnattr_t, posix_spawnattr_destroy> attributes(posix_spawnattr_init);
  SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_destroy> actions(
      posix_spawn_file_actions_init);
  if (!attributes.ready || !actions.ready)
    return -1;

  sigset_t none, ours;
  sigemptyset(&none);
  sigemptyset(&ours);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
    sigaddset(&ours, signal);
  short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT; // macOS: only what the actions open survives
#endif
  int failed = posix_spawnattr_setflags(&attributes.object, flags) |
               posix_spawnattr_setsigmask(&attributes.object, &none) |
               posix_spawnattr_setsigdefault(&attributes.object, &ours);
  for (int fd : {0, 1, 2})
    failed |= posix_spawn_file_actions_addopen(&actions.object, fd, "/dev/null",
                                               fd == 0 ? O_RDONLY : O_WRONLY, 0);
#if !defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
  failed |= posix_spawn_file_actions_addclosefrom_np(&actions.object, 3);
#endif
  if (failed)
    return -1;

  const std::string parent = std::to_string(::getpid()), from = hex(src), to = hex(dst);
  char *const argv[] = {const_cast<char *>(guard), const_cast<char *>(parent.c_str()),
                        const_cast<char *>(from.c_str()), const_cast<char *>(to.c_str()), nullptr};
  pid_t pid = -1;
  if (const int error = posix_spawn(&pid, guard, &actions.object, &attributes.object, argv, environ)) {
    errno = error;
    return -1;
  }
  return pid;
}

int fail(const char *what) {
  std::fprintf(stderr, "parent-app: %s\n", what);
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: parent-app <guard-path>\n");
    return 64;
  }

  // Quit signals are taken synchronously, by sigwait, once all is set up.
  sigset_t quitSignals;
  sigemptyset(&quitSignals);
  for (int signal : {SIGTERM, SIGINT, SIGHUP})
    sigaddset(&quitSignals, signal);
  sigprocmask(SIG_BLOCK, &quitSignals, nullptr);

  const HIDKeyMappingStore store;
  const auto ours = FnRemapMapping::entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
  KeyMappingList original;
  try {
    original = store.read().value_or(KeyMappingList{});
  } catch (const std::exception &error) {
    std::fprintf(stderr, "parent-app: cannot read the key mapping: %s\n", error.what());
    return 1;
  }
  if (!store.write(FnRemapMapping::merging(original, ours)))
    return fail("the HID system refused the fn remap");

  const pid_t guard = startGuard(argv[1], FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
  if (guard < 0) {
    std::perror("parent-app: cannot start the guard");
    store.write(original); // no guard, no remap
    return 1;
  }
  std::printf("parent-app %d: fn remap installed, guard %d watching\n", ::getpid(), guard);
  std::fflush(stdout);

  int quit = 0;
  sigwait(&quitSignals, &quit);
  try {
    const auto current = store.read().value_or(KeyMappingList{});
    if (!store.write(FnRemapMapping::restoring(current, ours, original)))
      return fail("the HID system refused the restored list");
  } catch (const std::exception &error) {
    std::fprintf(stderr, "parent-app: cannot read the key mapping: %s\n", error.what());
    return 1; // the guard removes our entry once we are gone
  }
  std::printf("parent-app %d: key mapping restored\n", ::getpid());
  return 0;
}
