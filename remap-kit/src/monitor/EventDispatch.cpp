// SPDX-License-Identifier: Apache-2.0
#include "EventDispatch.hpp"

#include <utility>

namespace FnRemapKit::Monitor {

void EventDispatch::setHandler(FnRemapSession::EventHandler next) noexcept {
  const std::lock_guard held(access);
  handler = std::move(next);
}

std::optional<EventDispatch::Ending> EventDispatch::stopReason() const {
  const std::lock_guard held(access);
  return reason;
}

EventDispatch::Event EventDispatch::stopped(Ending why) {
  const std::lock_guard held(access);
  reason = std::move(why);
  return Event::monitorStopped;
}

bool EventDispatch::tell(Event event) noexcept {
  try {
    FnRemapSession::EventHandler current;
    {
      const std::lock_guard held(access);
      current = handler;
    }
    if (current)
      current(event);
  } catch (...) {
    // The handler's own failure, or no memory to copy it: not ours to end on.
  }
  return event != Event::monitorStopped;
}

} // namespace FnRemapKit::Monitor
