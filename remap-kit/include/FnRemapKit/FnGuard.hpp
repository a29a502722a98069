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

  /// Blocks until the process has exited; a handled signal does not end the
  /// wait. Later calls return at once.
  void wait() noexcept;

private:
  std::int32_t pid;
  detail::ExitRegistration registration;
};

/// ExitWatch(pid).wait(): blocks until process \p pid has exited.
void waitForExit(std::int32_t pid) noexcept;

/// The environment variable that names the descriptor on which a guard says
/// that it is watching its parent (as s6's notification-fd does): the write
/// end of a pipe, inherited by the guard, on which it writes one byte and
/// which it then closes.
inline constexpr const char *readyVariable = "FNGUARD_READY_FD";

/// Says on the descriptor named by readyVariable that we are watching: one
/// byte, then the descriptor is closed. Does nothing without the variable,
/// or when it names no pipe or a standard stream. Call it once the watch is
/// registered. The write fails rather than kills only where SIGPIPE is
/// ignored, which the caller sees to.
void reportWatching() noexcept;

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

/// The guard's whole run, as tarnwick-fn-guard makes it: watches the
/// parent, reports that it is watching (reportWatching), waits for its exit,
/// then removes our entry from the HID event system's list while it holds
/// the KeyMappingLock, from its first read through its verifying read. A
/// lock it cannot have within the lock's bound (a holder stopped or hung),
/// or whose file it refuses, does not keep the entry in: it goes on without
/// the lock.
FnGuardOutcome runGuard(const FnGuardArguments &arguments) noexcept;

} // namespace FnRemapKit::FnGuard
