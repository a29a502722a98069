#include "FnRemapKit/FnRemapSession.hpp"

#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/FnGuardArguments.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#if defined(__APPLE__)
#include <crt_externs.h>
#else
extern char **environ;
#endif

namespace FnRemapKit {
namespace {

// On macOS, code linked into a dynamic library cannot name environ.
char **environment() {
#if defined(__APPLE__)
  return *_NSGetEnviron();
#else
  return environ;
#endif
}

/// Owns a posix_spawn attribute or file-actions object once init succeeded.
template <typename T, int (*init)(T *), int (*destroy)(T *)> struct SpawnObject {
  T object;
  int error = init(&object);

  SpawnObject() = default;
  SpawnObject(const SpawnObject &) = delete;
  SpawnObject &operator=(const SpawnObject &) = delete;
  ~SpawnObject() {
    if (error == 0)
      destroy(&object);
  }
};

/// Starts the guard for this process, out of reach of everything of ours:
/// its own session, so that a hang-up of our terminal does not end it with
/// us; standard streams on /dev/null; no other descriptor; default signal
/// dispositions and an empty mask, whatever ours are. Returns 0 and sets
/// \p pid, or returns the errno that stopped it.
int spawnGuard(const std::string &path, std::int64_t src, std::int64_t dst, pid_t &pid) {
  SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy> attributes;
  SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
              posix_spawn_file_actions_destroy>
      actions;
  if (attributes.error || actions.error)
    return attributes.error ? attributes.error : actions.error;

  sigset_t none, every;
  sigemptyset(&none);
  sigfillset(&every);
  sigdelset(&every, SIGKILL);
  sigdelset(&every, SIGSTOP);
  short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if defined(__APPLE__)
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT; // only what the actions open is inherited
#endif
  int error = 0;
  const auto step = [&error](int result) {
    if (error == 0)
      error = result;
  };
  step(posix_spawnattr_setflags(&attributes.object, flags));
  step(posix_spawnattr_setsigmask(&attributes.object, &none));
  step(posix_spawnattr_setsigdefault(&attributes.object, &every));
  for (int fd : {0, 1, 2})
    step(posix_spawn_file_actions_addopen(&actions.object, fd, "/dev/null",
                                          fd == 0 ? O_RDONLY : O_WRONLY, 0));
#if !defined(__APPLE__)
  step(posix_spawn_file_actions_addclosefrom_np(&actions.object, 3));
#endif
  if (error)
    return error;

  std::string arguments[] = {path, std::to_string(::getpid()), FnGuardArguments::formatUsage(src),
                             FnGuardArguments::formatUsage(dst)};
  char *argv[] = {arguments[0].data(), arguments[1].data(), arguments[2].data(),
                  arguments[3].data(), nullptr};
  return posix_spawn(&pid, path.c_str(), &actions.object, &attributes.object, argv, environment());
}

} // namespace

struct FnRemapSession::State {
  AnyStore store;
  KeyMappingEntry ours;
  KeyMappingList original;
  pid_t guard = 0;        // 0: none, or reaped
  bool installed = false; // our entry is written and not yet restored

  State(AnyStore store, KeyMappingEntry ours) : store(std::move(store)), ours(std::move(ours)) {}
  State(const State &) = delete;
  State &operator=(const State &) = delete;

  // A guard with nothing left to guard is ended; one whose entry could not
  // be restored is kept to remove it when we exit.
  ~State() {
    if (installed)
      end();
    else
      endGuard();
  }

  // Forgets a guard that has exited, reaping it if it is still ours to reap;
  // never blocks.
  void reapIfExited() noexcept {
    int status = 0;
    if (guard > 0) {
      const pid_t reaped = ::waitpid(guard, &status, WNOHANG);
      if (reaped == guard || (reaped < 0 && errno == ECHILD))
        guard = 0;
    }
  }

  void endGuard() noexcept {
    reapIfExited();
    if (guard <= 0)
      return;
    // Still our unreaped child, so the pid cannot name anyone else. SIGCONT
    // lets a stopped guard act on the SIGTERM; its dispositions are default.
    ::kill(guard, SIGTERM);
    ::kill(guard, SIGCONT);
    int status = 0;
    while (::waitpid(guard, &status, 0) < 0 && errno == EINTR) {
    }
    guard = 0;
  }

  Ending end() noexcept {
    if (!installed)
      return {true, {}};
    try {
      KeyMappingList current;
      try {
        current = store.read().value_or(KeyMappingList{});
      } catch (...) {
        return {false, "cannot read the key mapping: " +
                           FnGuard::detail::errorText(std::current_exception())};
      }
      if (!store.write(FnRemapMapping::restoring(current, ours, original)))
        return {false, "the HID system refused the restored list"};
    } catch (const std::exception &error) {
      return {false, std::string("cannot restore the key mapping: ") + error.what()};
    }
    installed = false;
    endGuard();
    return {true, {}};
  }
};

FnRemapSession FnRemapSession::beginOver(const std::string &guardPath, const KeyMappingEntry &ours,
                                         AnyStore store) {
  if (ours.size() != 2 || !ours.contains(std::string(FnRemapMapping::srcKey)) ||
      !ours.contains(std::string(FnRemapMapping::dstKey)))
    throw std::invalid_argument("a session's entry holds exactly the keys " +
                                std::string(FnRemapMapping::srcKey) + " and " +
                                std::string(FnRemapMapping::dstKey));
  auto state = std::make_unique<State>(std::move(store), ours);
  try {
    state->original = state->store.read().value_or(KeyMappingList{});
  } catch (...) {
    throw FnRemapSessionError("cannot read the key mapping: " +
                              FnGuard::detail::errorText(std::current_exception()));
  }
  const auto usage = [&](std::string_view key) { return ours.at(std::string(key)); };
  if (const int error = spawnGuard(guardPath, usage(FnRemapMapping::srcKey),
                                   usage(FnRemapMapping::dstKey), state->guard))
    throw FnRemapSessionError("cannot start the guard at " + guardPath + ": " +
                              std::strerror(error));
  // Only now, with the guard watching us, may the remap go in. On any way
  // out from here the state's destructor ends the guard.
  if (!state->store.write(FnRemapMapping::merging(state->original, ours)))
    throw FnRemapSessionError("the HID system refused the remap");
  state->installed = true;
  return FnRemapSession(std::move(state));
}

FnRemapSession::FnRemapSession(std::unique_ptr<State> state) noexcept : state(std::move(state)) {}
FnRemapSession::FnRemapSession(FnRemapSession &&) noexcept = default;
FnRemapSession &FnRemapSession::operator=(FnRemapSession &&) noexcept = default;
FnRemapSession::~FnRemapSession() = default;

pid_t FnRemapSession::guardPid() noexcept {
  if (!state)
    return 0;
  state->reapIfExited();
  return state->guard;
}

FnRemapSession::Ending FnRemapSession::end() noexcept {
  if (!state)
    return {false, "the session holds no remap: it was moved from"};
  return state->end();
}

} // namespace FnRemapKit
