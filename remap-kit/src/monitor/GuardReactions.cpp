// SPDX-License-Identifier: Apache-2.0
#include "GuardReactions.hpp"

#include "FnRemapKit/KeyMappingLock.hpp"
#include "../SessionErrors.hpp"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>

namespace FnRemapKit::Monitor {

namespace {

using Ending = FnRemapSession::Ending;

/// How often a monitor without an exit notice looks at the guard.
constexpr std::chrono::milliseconds lookInterval{100};
/// Keyboards appear in bursts (a dock, a wake): one counts once this long
/// has passed with no other, or once the burst has lasted the longest.
constexpr std::chrono::milliseconds keyboardQuiet{500};
constexpr std::chrono::milliseconds keyboardBurstLimit{5000};

// The lock within its usual bound, tried in short waits so that end()
// need not wait for the rest of it.
KeyMappingLock lockUnlessStopping(const SessionMonitor &running) {
  const auto deadline = std::chrono::steady_clock::now() + KeyMappingLock::defaultBound;
  for (;;) {
    auto lock = KeyMappingLock::acquire(std::chrono::milliseconds{50});
    if (lock || !lock.busy() || running.stopping() || std::chrono::steady_clock::now() >= deadline)
      return lock;
  }
}

} // namespace

GuardReactions::GuardReactions(Process::SessionGuard &guard, Holds::HoldKeeper &holds, EventDispatch &events,
                               bool keyboardsComeAndGo) noexcept
    : guard(guard), holds(holds), events(events),
      keyboards(keyboardsComeAndGo ? HID::KeyboardWatch::open() : nullptr) {}

void GuardReactions::watch(SessionMonitor &running, bool suspended) noexcept {
  try {
    Retry reapplying; // a reapply that failed
    while (!running.stopping()) {
      std::optional<Event> event;
      FileDescriptor notice;
      bool looking = false; // the guard runs, with no notice of its end
      {
        const std::lock_guard access(guard.access);
        if (holds.holding() && guard.pid() == 0)
          event = guardEnded(running);
        notice = guard.exitNotice();
        looking = !notice && guard.pid() != 0;
        guard.notePid();
      }
      if (event && !events.tell(*event))
        return;
      if (!holds.holding() && !suspended)
        return;
      const int notices[] = {notice.get(), keyboards ? keyboards->descriptor() : -1};
      auto limit = looking ? lookInterval : std::chrono::hours{1};
      if (reapplying.pending())
        limit = std::min(limit, reapplying.untilNext());
      const auto woken = running.waitFor(notices, limit);
      if (!woken)
        return;
      const bool due = *woken == 1u ? burstOver(running) : reapplying.pending() && reapplying.untilNext().count() == 0;
      if (due)
        if (const auto reapplied = reapply(running, reapplying); reapplied && !events.tell(*reapplied))
          return;
    }
  } catch (...) {
    // Nothing here throws but for want of memory.
    try {
      events.tell(events.stopped(SessionErrors::failure(FnRemapSessionError::Code::stillRemapped)));
    } catch (...) {
    }
  }
}

// Keyboards appear in bursts: true once one is over, false on stop().
bool GuardReactions::burstOver(SessionMonitor &running) {
  const auto burstEnd = std::chrono::steady_clock::now() + keyboardBurstLimit;
  const int notices[] = {keyboards->descriptor()};
  for (;;) {
    keyboards->drain();
    const auto woken = running.waitFor(notices, keyboardQuiet);
    if (!woken)
      return false;
    if (*woken == 1u || std::chrono::steady_clock::now() >= burstEnd)
      return true;
  }
}

// A keyboard came back, and with it perhaps a keyboard service without
// our entry: under the lock, our entry goes back if we hold it and it is
// missing. Nothing else is written between begin() and end() but by a
// guard's replacement, so a user who took the entry out is not overruled
// until a keyboard appears. One that fails is tried again by \p retry.
std::optional<GuardReactions::Event> GuardReactions::reapply(SessionMonitor &running, Retry &retry) {
  const std::lock_guard access(guard.access);
  if (!holds.holding() || guard.pid() == 0) { // a guard that ended is seen to first
    retry.reset();
    return std::nullopt;
  }
  const auto lock = lockUnlessStopping(running);
  if (running.stopping())
    return std::nullopt;
  Ending why{true, {}};
  if (!lock) {
    why = SessionErrors::lockFailure(lock.busy(), lock.error());
  } else {
    if (!guard.watching()) { // one that is leaving has released, or will
      retry.reset();
      return std::nullopt;
    }
    try {
      const bool missing = holds.entryMissing();
      if (missing)
        holds.install(guard.pid());
      retry.reset();
      return missing ? std::optional(Event::reapplied) : std::nullopt;
    } catch (...) {
      why = SessionErrors::failure(FnRemapSessionError::Code::writeRefused);
    }
  }
  if (retry.failed())
    return std::nullopt;
  retry.reset();
  return events.stopped(std::move(why));
}

// Our guard has ended while we hold our entry. One that exited 0 has
// released our hold: someone meant the remap to go (a stranger's signal;
// at logout, a new guard would only be killed with us). One that exited
// otherwise could not remove it, so we release it ourselves. One killed
// (or reaped for us, its hold still in the ledger) is replaced.
std::optional<GuardReactions::Event> GuardReactions::guardEnded(SessionMonitor &running) {
  const auto &ending = guard.ending();
  const bool released = ending ? !ending->signalled && ending->number == 0 : !holds.kept();
  if (released || (ending && !ending->signalled)) {
    // After a release by the guard, this only tidies: nothing is written
    // unless the guard's write went astray.
    if (releaseLocked(running) || (released && !running.stopping())) {
      holds.forget();
      return Event::removed;
    }
  }
  return replaceGuard(running);
}

// A new guard, watching, then our hold made its own under the lock, and
// our entry back if it is missing. Without either, our hold is released:
// there is never an entry of ours with no guard watching it, so until
// one of the two has been done this tries again, and stops the monitor
// once it has failed for too long.
std::optional<GuardReactions::Event> GuardReactions::replaceGuard(SessionMonitor &running) {
  for (Retry retry;;) {
    if (running.stopping())
      return std::nullopt;
    Ending why{true, {}};
    if (guard.pid() == 0) {
      try {
        guard.start(running.stopDescriptor());
      } catch (...) {
        why = SessionErrors::failure(FnRemapSessionError::Code::guardNotStarted); // released below
      }
    }
    const auto lock = lockUnlessStopping(running);
    if (running.stopping())
      return std::nullopt;
    if (!lock) {
      why = SessionErrors::lockFailure(lock.busy(), lock.error());
    } else {
      if (guard.watching()) {
        try {
          holds.install(guard.pid());
          return Event::guardReplaced;
        } catch (...) {
          why = SessionErrors::failure(FnRemapSessionError::Code::writeRefused); // released below
        }
      }
      auto failed = holds.release();
      if (!failed) {
        guard.end();
        return Event::removed;
      }
      why = std::move(*failed);
    }
    if (!retry.failed())
      return events.stopped(std::move(why));
    if (!retry.wait(running))
      return std::nullopt;
  }
}

bool GuardReactions::releaseLocked(SessionMonitor &running) {
  const auto lock = lockUnlessStopping(running);
  return lock && !running.stopping() && !holds.release();
}

} // namespace FnRemapKit::Monitor
