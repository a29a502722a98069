// SPDX-License-Identifier: Apache-2.0
//===- monitor/SessionMonitor.hpp - A thread that watches a session's guard ===//
//
// The session's work between begin() and end() is done on a thread of its
// own, which sleeps in poll(2) on what it watches and on a stop pipe. The
// thread is the mechanism only: what it does when woken is the session's,
// in GuardReactions.hpp (how long a failing step is tried: Retry.hpp), and
// what it tells the application goes through EventDispatch.hpp.
// Stopping is bounded by the work in flight, which the stop pipe also
// cuts short wherever that work waits (a guard's readiness, the lock).
//
//===----------------------------------------------------------------------===//
#pragma once

#include "../support/FileDescriptor.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <thread>

namespace FnRemapKit::Monitor {

class SessionMonitor {
public:
  SessionMonitor() = default;
  SessionMonitor(const SessionMonitor &) = delete;
  SessionMonitor &operator=(const SessionMonitor &) = delete;
  /// Stops the thread.
  ~SessionMonitor() { stop(); }

  /// Runs \p body on a new thread until it returns or stop() is called;
  /// false, with nothing running, when no thread or pipe can be had. What
  /// the body throws ends the thread and goes no further: the body says its
  /// own failures.
  bool start(std::function<void(SessionMonitor &)> body) noexcept;

  /// Asks the thread to stop, then waits for it; nothing when none runs.
  /// Never from the thread itself.
  void stop() noexcept;

  /// Whether the calling thread is the monitor's.
  bool isCurrent() const noexcept { return std::this_thread::get_id() == runner.load(); }

  // For the body, on the monitor's thread.

  /// Whether stop() has been called.
  bool stopping() const noexcept { return stopRequested.load(); }

  /// Readable once stop() has been called: for any wait in the body to
  /// watch beside its own descriptor.
  int stopDescriptor() const noexcept { return stopRead.get(); }

  /// Waits until one of \p notices is readable, \p limit has passed or
  /// stop() is called. Returns the index of a readable one,
  /// notices.size() once \p limit has passed, nothing on stop(). A
  /// negative descriptor is never readable.
  std::optional<std::size_t> waitFor(std::span<const int> notices, std::chrono::milliseconds limit) noexcept;

private:
  std::thread thread;
  FileDescriptor stopRead, stopWrite;
  std::atomic<bool> stopRequested{false};
  std::atomic<std::thread::id> runner{}; // set by the thread itself, before its body

};

} // namespace FnRemapKit::Monitor
