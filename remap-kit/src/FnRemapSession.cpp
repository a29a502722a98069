#include "FnRemapKit/FnRemapSession.hpp"

#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/FnGuardArguments.hpp"
#include "FnRemapKit/KeyMappingLock.hpp"
#include "process/ChildProcess.hpp"
#include "support/FileDescriptor.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#if defined(__APPLE__)
#include <CoreFoundation/CoreFoundation.h>
#include <crt_externs.h>
#else
extern char **environ;
#endif

namespace FnRemapKit {
namespace {

using std::chrono::milliseconds;

/// How long begin() waits for a started guard to say that it is watching:
/// far longer than a guard takes, even a sanitizer build on a loaded
/// machine, and still short for an application kept waiting by a program
/// that will never say it (an older guard, something else at that path).
constexpr milliseconds readyBound{5000};

/// How long a guard gets to end on SIGTERM before SIGKILL, and after it.
constexpr milliseconds endBound{2000};

/// The descriptor on which the guard finds the pipe it reports on.
constexpr int guardReadyFd = 3;

// On macOS, code linked into a dynamic library cannot name environ.
char **environment() {
#if defined(__APPLE__)
  return *_NSGetEnviron();
#else
  return environ;
#endif
}

/// What the guard gets in its environment beside ours, as NAME=VALUE: where
/// it reports that it is watching, and on macOS the application's bundle
/// identifier to log under, which a Swift application cannot build into
/// the guard. Never set in our own environment, which other threads read.
std::vector<std::string> guardSettings() {
  std::vector<std::string> settings = {std::string(FnGuard::readyVariable) + "=" +
                                       std::to_string(guardReadyFd)};
#if defined(__APPLE__)
  if (const CFBundleRef bundle = CFBundleGetMainBundle()) {
    std::array<char, 256> identifier{};
    if (const CFStringRef name = CFBundleGetIdentifier(bundle);
        name && CFStringGetCString(name, identifier.data(), identifier.size(), kCFStringEncodingUTF8))
      settings.push_back(std::string(FnGuard::logSubsystemVariable) + "=" + identifier.data());
  }
#endif
  return settings;
}

/// Ours, less what \p settings replace, then \p settings; null-terminated.
std::vector<char *> guardEnvironment(std::vector<std::string> &settings) {
  std::vector<char *> variables;
  for (char **variable = environment(); variable && *variable; ++variable) {
    const std::string_view text(*variable);
    const bool replaced = std::any_of(settings.begin(), settings.end(), [&](const std::string &setting) {
      return text.starts_with(std::string_view(setting).substr(0, setting.find('=') + 1));
    });
    if (!replaced)
      variables.push_back(*variable);
  }
  for (auto &setting : settings)
    variables.push_back(setting.data());
  variables.push_back(nullptr);
  return variables;
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
/// us; standard streams on /dev/null; no other descriptor but \p ready as
/// guardReadyFd; default signal dispositions and an empty mask, whatever
/// ours are. Returns 0, or the errno that stopped it.
int spawnGuard(Process::ChildProcess &guard, const std::string &path, std::int64_t src,
               std::int64_t dst, int ready) {
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
  // The pipe first: it may stand on a standard stream's number.
  step(posix_spawn_file_actions_adddup2(&actions.object, ready, guardReadyFd));
  for (int fd : {0, 1, 2})
    step(posix_spawn_file_actions_addopen(&actions.object, fd, "/dev/null",
                                          fd == 0 ? O_RDONLY : O_WRONLY, 0));
#if !defined(__APPLE__)
  step(posix_spawn_file_actions_addclosefrom_np(&actions.object, guardReadyFd + 1));
#endif
  if (error)
    return error;

  std::string arguments[] = {path, std::to_string(::getpid()), FnGuardArguments::formatUsage(src),
                             FnGuardArguments::formatUsage(dst)};
  char *argv[] = {arguments[0].data(), arguments[1].data(), arguments[2].data(),
                  arguments[3].data(), nullptr};
  auto settings = guardSettings();
  const auto envp = guardEnvironment(settings);
  return guard.spawn(path.c_str(), &actions.object, &attributes.object, argv, envp.data());
}

/// The pipe the guard reports on: our read end, its write end, both
/// close-on-exec, the write end never on guardReadyFd, where dup2 would
/// leave it close-on-exec in the guard.
int makeReportPipe(FileDescriptor &read, FileDescriptor &write) {
  int ends[2];
#if defined(__APPLE__)
  // No pipe2 here: a program another thread starts in between may inherit
  // the write end, and an early exit of the guard then shows as silence.
  if (::pipe(ends) != 0)
    return errno;
  for (int end : ends)
    ::fcntl(end, F_SETFD, FD_CLOEXEC);
#else
  if (::pipe2(ends, O_CLOEXEC) != 0)
    return errno;
#endif
  read = FileDescriptor(ends[0]);
  write = FileDescriptor(ends[1]);
  if (write.get() == guardReadyFd) {
    write = FileDescriptor(::fcntl(write.get(), F_DUPFD_CLOEXEC, guardReadyFd + 1));
    if (!write)
      return errno;
  }
  return 0;
}

enum class Report { watching, closed, silent };

/// Waits at most \p bound for the guard's one byte on \p read.
Report awaitReport(int read, milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd report{read, POLLIN, 0};
    const int ready = ::poll(&report, 1, static_cast<int>(std::max<milliseconds>(left, {}).count()));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0) // nothing came, or nothing can be known: a read could block
      return Report::silent;
    char byte = 0;
    ssize_t got = -1;
    while ((got = ::read(read, &byte, 1)) < 0 && errno == EINTR) {
    }
    return got == 1 ? Report::watching : Report::closed;
  }
}

} // namespace

struct FnRemapSession::State {
  AnyStore store;
  KeyMappingEntry ours;
  KeyMappingList original;
  Process::ChildProcess guard;
  pid_t owner = ::getpid(); // the process that began it, the only one it acts in
  bool installed = false;   // our entry is written and not yet restored

  State(AnyStore store, KeyMappingEntry ours) : store(std::move(store)), ours(std::move(ours)) {}
  State(const State &) = delete;
  State &operator=(const State &) = delete;

  // A guard with nothing left to guard is ended; one whose entry could not
  // be restored is kept to remove it when we exit. A forked child holds a
  // copy of the state, and none of it is the child's to act on.
  ~State() {
    if (::getpid() != owner)
      return;
    if (installed)
      end();
    else
      guard.terminate(endBound);
  }

  // Starts the guard and returns once it is watching us; throws, with the
  // guard ended, when it cannot be started or does not say so.
  void startGuard(const std::string &path) {
    FileDescriptor read, write;
    int error = makeReportPipe(read, write);
    const auto usage = [&](std::string_view key) { return ours.at(std::string(key)); };
    if (error == 0)
      error = spawnGuard(guard, path, usage(FnRemapMapping::srcKey), usage(FnRemapMapping::dstKey),
                         write.get());
    if (error)
      throw FnRemapSessionError("cannot start the guard at " + path + ": " + std::strerror(error));
    write = FileDescriptor(); // so that the guard's exit closes the pipe
    switch (awaitReport(read.get(), readyBound)) {
    case Report::watching:
      return;
    case Report::closed: {
      guard.terminate(endBound);
      const auto &ending = guard.ending();
      throw FnRemapSessionError("the guard at " + path + " exited before it was watching" +
                                (ending ? " (" + ending->describe() + ")" : ""));
    }
    case Report::silent:
      guard.terminate(endBound);
      throw FnRemapSessionError("the guard at " + path + " did not report that it was watching within " +
                                std::to_string(readyBound.count() / 1000) + " s");
    }
  }

  Ending end() noexcept {
    if (::getpid() != owner)
      return {false, "the session belongs to process " + std::to_string(owner) + ", not to this one"};
    if (!installed)
      return {true, {}};
    try {
      const auto lock = KeyMappingLock::acquire();
      if (!lock)
        return {false, lock.error()};
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
    guard.terminate(endBound);
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
  // On any way out from here, the state's destructor ends the guard.
  auto state = std::make_unique<State>(std::move(store), ours);
  state->startGuard(guardPath);
  // Only now, with the guard watching us, may the remap go in; and only
  // under the lock, so that no other writer's change is lost.
  const auto lock = KeyMappingLock::acquire();
  if (!lock)
    throw FnRemapSessionError(lock.error());
  try {
    state->original = state->store.read().value_or(KeyMappingList{});
  } catch (...) {
    throw FnRemapSessionError("cannot read the key mapping: " +
                              FnGuard::detail::errorText(std::current_exception()));
  }
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
  if (!state || ::getpid() != state->owner)
    return 0;
  return state->guard.pid();
}

FnRemapSession::Ending FnRemapSession::end() noexcept {
  if (!state)
    return {false, "the session holds no remap: it was moved from"};
  return state->end();
}

} // namespace FnRemapKit
