// SPDX-License-Identifier: Apache-2.0
//===- monitor/EventDispatch.hpp - What the application hears -------------===//
//
// The application's event handler, and why the monitor last gave up. The
// application sets and asks at any time; the monitor tells through a copy
// of the handler, with no lock held, so that a handler may call back into
// the session (onEvent(), monitorStopReason()) without waiting for itself.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/FnRemapSession.hpp"

#include <mutex>
#include <optional>

namespace FnRemapKit::Monitor {

class EventDispatch {
public:
  using Event = FnRemapSession::Event;
  using Ending = FnRemapSession::Ending;

  /// Sets the handler, in place of any before.
  void setHandler(FnRemapSession::EventHandler next) noexcept;

  /// Why the monitor last stopped on its own; nothing if it never has.
  std::optional<Ending> stopReason() const;

  /// The monitor gives up: \p why is kept for the application to ask.
  /// Returns the event that says so, for tell().
  Event stopped(Ending why);

  /// Tells the application; false once that is that the monitor stops.
  bool tell(Event event) noexcept;

private:
  mutable std::mutex access; // over the two below
  FnRemapSession::EventHandler handler;
  std::optional<Ending> reason;
};

} // namespace FnRemapKit::Monitor
