// SPDX-License-Identifier: Apache-2.0
//===- FnRemapKit/FnGuard.hpp - Wait for the parent, remove our entry -----===//
#pragma once

#include "FnRemapKit/FnGuardArguments.hpp"
#include "FnRemapKit/FnGuardOutcome.hpp"
#include "FnRemapKit/KeyMappingStore.hpp"

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace FnRemapKit::FnGuard {

/// The messages a failed run carries.
inline constexpr std::string_view readFailurePrefix =
    "could not read the current mapping: ";
inline constexpr std::string_view writeRefusedMessage =
    "the HID system refused the write";
inline constexpr std::string_view stillThereMessage =
    "our entry was still there after the write";

namespace detail {
/// What a registered exit watch waits on: nothing (the process is gone), a
/// descriptor the kernel reports the exit on, or the interval check.
struct ExitRegistration {
  enum class Kind { gone, descriptor, interval };
  Kind kind;
  int fd = -1;
};
} // namespace detail

/// A watch on the exit of process \p pid, registered when it is made and
/// waited on later, so that the guard can say that it is watching before it
/// blocks. The kernel reports the exit (a kernel event queue on macOS, a
/// process descriptor on Linux); only where it will not watch this process (a
/// sandbox, no such interface, no queue to be had) does the wait check the
/// process at a 50 ms interval instead, a zombie whose threads have all gone
/// counting as exited. A \p pid below 1, which names no single process, and
/// a process already gone make wait() return at once.
class ExitWatch {
public:
  explicit ExitWatch(std::int32_t pid) noexcept;
  ExitWatch(const ExitWatch &) = delete;
  ExitWatch &operator=(const ExitWatch &) = delete;
  ~ExitWatch();

  /// How a wait ended: the process exited, or the wake descriptor became
  /// readable first.
  enum class Wake { exited, woken };

  /// Blocks until the process has exited, or until \p wakeFd (a descriptor
  /// of the caller's, -1 for none) is readable; when both are, woken. A
  /// handled signal does not end the wait, and the interval check looks at
  /// \p wakeFd in its pauses. After woken the watch stays registered, and a
  /// later call waits on; after exited, later calls return at once.
  Wake wait(int wakeFd = -1) noexcept;

private:
  std::int32_t pid;
  detail::ExitRegistration registration;
};

/// ExitWatch(pid).wait(): blocks until process \p pid has exited.
void waitForExit(std::int32_t pid) noexcept;

/// The environment variable that names the descriptor on which a guard says
/// that it is watching its parent (as s6's notification-fd does): the write
/// end of a pipe, inherited by the guard, on which it writes one byte, "\n",
/// and which it keeps open for as long as it watches. It closes it as soon
/// as its wait ends (the parent's exit, any stop signal), before it takes
/// the lock or looks at the key mapping, so that end of file after the byte
/// means that it no longer watches: a session that sees it under the lock
/// does not install. A guard that cannot watch writes why instead, then
/// closes the pipe.
inline constexpr const char *readyVariable = "FNGUARD_READY_FD";

/// Says on the descriptor named by readyVariable that we are watching: one
/// byte, "\n". Returns the descriptor, which stays open, or -1 when there is
/// none (no variable, or one that names no pipe or a standard stream): the
/// caller closes it as soon as its wait is over, before it takes the lock
/// or touches the key mapping; left open, it closes at our exit, and a
/// session meanwhile takes us for watching still. Call it once the watch is
/// registered. The write fails rather than kills only where SIGPIPE is
/// ignored, which the caller sees to.
int reportWatching() noexcept;

/// The environment variable in which a session hands the guard the
/// application's reverse-DNS identifier to log under (on macOS, its bundle
/// identifier), in place of the one built into the tool.
inline constexpr const char *logSubsystemVariable = "FNGUARD_LOG_SUBSYSTEM";

namespace detail {
/// True as soon as one entry of \p list equals \p ours.
bool containsEntry(const KeyMappingList &list, const KeyMappingEntry &ours);
/// what() of a std::exception, a fixed text for anything else.
std::string errorText(std::exception_ptr error);
} // namespace detail

/// Takes every copy of \p ours out of the store's list, keeping all other
/// entries in order, and verifies it with a fresh read. Calls, in order: one
/// read; then, only if the list holds our entry, one write of the list
/// without it; then, only after a true write, one more read. Never throws.
template <KeyMappingStore Store>
FnGuardOutcome removeOurs(const KeyMappingEntry &ours,
                          const Store &store) noexcept {
  KeyMappingList current;
  try {
    if (auto list = store.read())
      current = std::move(*list);
  } catch (...) {
    return FnGuardOutcome::failed(std::string(readFailurePrefix) +
                                  detail::errorText(std::current_exception()));
  }
  if (!detail::containsEntry(current, ours))
    return FnGuardOutcome::alreadyGone();

  std::erase(current, ours);
  if (!store.write(current))
    return FnGuardOutcome::failed(std::string(writeRefusedMessage));

  try {
    if (auto after = store.read(); after && !detail::containsEntry(*after, ours))
      return FnGuardOutcome::removed();
  } catch (...) {
    // A verifying read that fails proves nothing either way.
  }
  return FnGuardOutcome::failed(std::string(stillThereMessage));
}

/// Calls \p wait once with the parent's pid, then removes our entry. A wait
/// that throws counts as ended. Takes no lock (runGuard does). Never throws.
template <KeyMappingStore Store, std::invocable<std::int32_t> Wait>
FnGuardOutcome run(const FnGuardArguments &arguments, const Store &store,
                   Wait &&wait) noexcept {
  try {
    std::invoke(std::forward<Wait>(wait), arguments.parent());
  } catch (...) {
  }
  return removeOurs(arguments.entry(), store);
}

/// A signal as the guard caught it: its number, and the process that sent
/// it as the system reports it (si_pid; 0 when it names none, as for a
/// signal from the kernel).
struct StopSignal {
  int number;
  std::int32_t sender;
  friend bool operator==(const StopSignal &, const StopSignal &) = default;
};

/// How a guard's run ended, when it returns at all.
struct GuardRun {
  /// The release's outcome; failed(notReady) when the guard could not start.
  FnGuardOutcome outcome;
  /// The stranger's signal that ended the wait; nothing when the parent's
  /// exit did.
  std::optional<StopSignal> stoppedBy;
  /// Why the guard cannot reach the key mapping, as it reported it on the
  /// report pipe; it then neither waited nor released.
  std::optional<std::string> notReady;
};

/// The guard's whole run, as tarnwick-fn-guard makes it:
///
/// 1. It catches the stop signals: every signal that ends a process by
///    default, can be caught and is sent rather than raised by a fault
///    (SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM,
///    SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ; on Linux also SIGIO, SIGPWR,
///    SIGSTKFLT and SIGRTMIN..SIGRTMAX), unblocked and caught even where the
///    parent left them blocked or ignored. Faults (SIGSEGV, SIGBUS, SIGFPE,
///    SIGILL, SIGTRAP, SIGSYS) and SIGABRT keep their actions.
/// 2. It watches the parent (ExitWatch).
/// 3. Given a report pipe (readyVariable), it checks that it can reach the
///    key mapping: it opens the lock file (without locking it) and reads the
///    list (without the lock, which may be busy; a list of a shape it cannot
///    hold is reachable all the same). Then it reports "\n", watching; or
///    the reason, at most 255 bytes, closes the pipe and returns at once
///    with notReady set. Without a report pipe it checks nothing.
/// 4. It waits until the parent exits or a stop signal comes, the report
///    pipe open, and closes the pipe as soon as either wakes it. The parent's
///    own signal (its sender is the parent, which is how a session's end()
///    stops its guard) ends this process at once by the signal's default
///    action: no lock, no release, no record. A signal from anyone else
///    (sender 0 included: the application's coalition, a logout, a service
///    manager stopping the user's processes) counts as the application's
///    end, as the parent's exit does.
/// 5. It releases our entry (detail::releaseForGuard) and calls \p record
///    with the run, which must not throw.
/// 6. A signal of the parent's caught during the release or the record then
///    ends this process by its default action; otherwise runGuard returns.
///    Further strangers' signals change nothing once the release began.
GuardRun runGuard(const FnGuardArguments &arguments,
                  const std::function<void(const GuardRun &)> &record = {}) noexcept;

} // namespace FnRemapKit::FnGuard
