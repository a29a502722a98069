// SPDX-License-Identifier: Apache-2.0
#include "GuardLaunch.hpp"

#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/FnGuardArguments.hpp"
#include "FnRemapKit/FnRemapSession.hpp"
#include "../SessionErrors.hpp"
#include "../support/FileDescriptor.hpp"
#include "../support/Pipe.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__APPLE__)
#include <CoreFoundation/CoreFoundation.h>
#include <crt_externs.h>
#else
extern char **environ;
#endif

namespace FnRemapKit::Process {
namespace {

using std::chrono::milliseconds;
using SessionErrors::Message;

std::atomic<milliseconds::rep> readyBoundNow{readyBound.count()};

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
int spawnGuard(ChildProcess &guard, const std::string &path, std::int64_t src,
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
  // A write end that another program inherits keeps the pipe open after
  // the guard's early exit, which then shows as silence.
  if (const int error = openPipe(read, write))
    return error;
  if (write.get() == guardReadyFd) {
    write = FileDescriptor(::fcntl(write.get(), F_DUPFD_CLOEXEC, guardReadyFd + 1));
    if (!write)
      return errno;
  }
  return 0;
}

/// What the guard said on the pipe.
struct Report {
  enum Kind { watching, cannot, closed, silent, cancelled } kind;
  std::string reason; // why it cannot reach the key mapping
};

/// The longest reason a guard gives.
constexpr std::size_t reasonLimit = 255;

/// Waits at most \p bound for the guard's word on \p read: "\n" when it
/// is watching; anything else says why it cannot reach the key mapping, up
/// to end of file. The first byte is read alone, so that nothing after a
/// "\n" is waited for. \p cancel readable ends the wait.
Report awaitReport(int read, milliseconds bound, int cancel) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  std::string said;
  bool finished = false; // end of file, or a reason as long as any may be
  while (!finished) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd watched[] = {{read, POLLIN, 0}, {cancel, POLLIN, 0}};
    const int ready = ::poll(watched, 2, static_cast<int>(std::max<milliseconds>(left, {}).count()));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready > 0 && watched[1].revents != 0)
      return {Report::cancelled, {}};
    if (ready <= 0) // nothing more came, or nothing can be known: a read could block
      break;
    std::array<char, reasonLimit> bytes{};
    ssize_t got = -1;
    while ((got = ::read(read, bytes.data(), said.empty() ? 1 : reasonLimit - said.size())) < 0 && errno == EINTR) {
    }
    if (got > 0)
      said.append(bytes.data(), static_cast<std::size_t>(got));
    if (said == "\n")
      return {Report::watching, {}};
    finished = got <= 0 || said.size() >= reasonLimit;
  }
  if (said.empty())
    return {finished ? Report::closed : Report::silent, {}};
  if (said.back() == '\n')
    said.pop_back();
  return {Report::cannot, said};
}

} // namespace

milliseconds currentReadyBound() noexcept { return milliseconds{readyBoundNow.load()}; }

ShortenedReadyBound::ShortenedReadyBound(milliseconds bound) noexcept
    : previous(milliseconds{readyBoundNow.exchange(bound.count())}) {}

ShortenedReadyBound::~ShortenedReadyBound() { readyBoundNow.store(previous.count()); }

std::string describeBound(milliseconds bound) {
  const auto count = bound.count();
  std::string text = std::to_string(count / 1000);
  if (const auto rest = count % 1000; rest != 0) {
    std::string fraction = std::to_string(1000 + rest).substr(1);
    fraction.erase(fraction.find_last_not_of('0') + 1);
    text += "." + fraction;
  }
  return text + " s";
}

FileDescriptor launchGuard(ChildProcess &guard, const std::string &path, std::int64_t src, std::int64_t dst,
                           int cancel) {
  FileDescriptor read, write;
  int error = makeReportPipe(read, write);
  if (error == 0)
    error = spawnGuard(guard, path, src, dst, write.get());
  if (error)
    throw SessionErrors::error(Message::cannotStart, {path, std::strerror(error)});
  write = FileDescriptor(); // so that the guard's exit closes the pipe
  const auto bound = currentReadyBound();
  const auto report = awaitReport(read.get(), bound, cancel);
  switch (report.kind) {
  case Report::watching:
    return read;
  case Report::cannot:
    guard.terminate(endBound);
    throw SessionErrors::error(Message::cannotReach, {path, report.reason});
  case Report::closed: {
    guard.terminate(endBound);
    const auto &ending = guard.ending();
    throw SessionErrors::error(Message::exitedEarly, {path, ending ? " (" + ending->describe() + ")" : ""});
  }
  case Report::cancelled:
    guard.terminate(endBound);
    throw SessionErrors::error(SessionErrors::Message::notNeeded, {path});
  case Report::silent:
    guard.terminate(endBound);
    throw SessionErrors::error(Message::silent, {path, describeBound(bound)});
  }
  return FileDescriptor(); // not reached: each kind returns or throws, which g++ cannot see
}

bool stillWatching(int report) noexcept {
  if (report < 0)
    return false;
  // A guard writes nothing after its word, so any event at all (end of
  // file, a hang-up, more bytes) is taken for one that no longer watches:
  // the safe side, since the caller then does not install.
  pollfd watched{report, POLLIN, 0};
  int ready = -1;
  while ((ready = ::poll(&watched, 1, 0)) < 0 && errno == EINTR) {
  }
  return ready == 0;
}

} // namespace FnRemapKit::Process
