// SPDX-License-Identifier: Apache-2.0
//===- monitor/GuardReactions.hpp - What the monitor does when woken ------===//
//
// The session's policy on its monitor's thread, from begin() to end(): a
// guard that ended while our entry is held is replaced, or our hold is
// released; a keyboard that came back, once its burst is over, gets our
// entry back if it lacks it. Nothing thrown leaves it: a step that fails
// is tried again (Retry), and one that fails for too long stops the
// monitor, telling the application why, with the guard kept to remove our
// entry when we exit.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "../hid/KeyboardWatch.hpp"
#include "../ledger/HoldKeeper.hpp"
#include "../process/SessionGuard.hpp"
#include "EventDispatch.hpp"
#include "Retry.hpp"
#include "SessionMonitor.hpp"

#include <memory>
#include <optional>

namespace FnRemapKit::Monitor {

class GuardReactions {
public:
  using Event = FnRemapSession::Event;

  /// Acts on \p guard and \p holds, and tells through \p events; watches
  /// keyboards too when \p keyboardsComeAndGo (the HID event system's own
  /// list) and they can be watched here.
  GuardReactions(Process::SessionGuard &guard, Holds::HoldKeeper &holds, EventDispatch &events,
                 bool keyboardsComeAndGo) noexcept;
  GuardReactions(const GuardReactions &) = delete;
  GuardReactions &operator=(const GuardReactions &) = delete;

  /// The monitor's body: returns once nothing is held and the session is
  /// not \p suspended, once the monitor gives up, or on stop().
  void watch(SessionMonitor &running, bool suspended) noexcept;

  /// In a forked child, where it is not the child's to close: lets go of
  /// the keyboards' watch (on macOS a dispatch queue's, and dispatch does
  /// not survive fork).
  void abandon() noexcept { (void)keyboards.release(); }

private:
  bool burstOver(SessionMonitor &running);
  std::optional<Event> reapply(SessionMonitor &running, Retry &retry);
  std::optional<Event> guardEnded(SessionMonitor &running);
  std::optional<Event> replaceGuard(SessionMonitor &running);
  bool releaseLocked(SessionMonitor &running);

  Process::SessionGuard &guard;
  Holds::HoldKeeper &holds;
  EventDispatch &events;
  std::unique_ptr<HID::KeyboardWatch> keyboards; // none where they cannot be watched
};

} // namespace FnRemapKit::Monitor
