// SPDX-License-Identifier: Apache-2.0
//===- guard/StopSignals.hpp - The signals that end the guard's wait ------===//
//
// The guard must outlive whatever ends its application's processes all at
// once (the quit of an application that kills its coalition, a logout,
// `systemctl --user stop`, `kill -TERM` of a user's processes), so every
// signal that would end it by default and can be caught ends its wait
// instead: a handler writes the signal and its sender to a self-pipe, which
// the exit watch waits on beside the parent. What the signal means (a
// stranger's: release; the parent's: a quiet stop) is decided on the main
// path, never in the handler.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/FnGuard.hpp"

#include <signal.h>

#include <optional>
#include <vector>

namespace FnRemapKit::FnGuard::detail {

/// The stop signals of this platform: every signal that ends a process by
/// default, can be caught, and is sent rather than raised by a fault. On
/// Linux the real-time ones are SIGRTMIN..SIGRTMAX as the C library reports
/// them at run time, the few it keeps below SIGRTMIN for itself left alone.
std::vector<int> stopSignalNumbers();

/// Catches every stop signal for as long as it lives: an SA_SIGINFO handler
/// (installed even where the parent left the signal ignored) writes one
/// fixed-size record per signal to a non-blocking, close-on-exec pipe, and
/// the signals are unblocked (a parent may have blocked them). When it goes
/// it puts back the actions and the mask it found and closes the pipe. Where
/// no pipe can be had it changes nothing but the mask, and the signals keep
/// the action they had. One lives at a time in a process.
class StopSignals {
public:
  StopSignals() noexcept;
  StopSignals(const StopSignals &) = delete;
  StopSignals &operator=(const StopSignals &) = delete;
  ~StopSignals();

  /// The pipe's read end, readable once a stop signal was caught; -1 where
  /// no pipe could be had.
  int wakeDescriptor() const noexcept { return readEnd; }

  /// The next caught signal, oldest first; nothing once none is left. Never
  /// blocks.
  std::optional<StopSignal> take() noexcept;

private:
  struct Saved {
    int number;
    struct sigaction action;
  };
  int readEnd = -1;
  int writeEnd = -1;
  std::vector<Saved> saved;
  sigset_t savedMask;
};

/// Ends this process by \p number's default action, as if the signal had
/// been left alone: the action restored, the signal unblocked and raised
/// (with exit status 128 + \p number should that not end the process).
[[noreturn]] void endByDefaultAction(int number) noexcept;

} // namespace FnRemapKit::FnGuard::detail
