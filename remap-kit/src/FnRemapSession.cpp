// SPDX-License-Identifier: Apache-2.0
#include "FnRemapKit/FnRemapSession.hpp"

#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/FnGuardArguments.hpp"
#include "FnRemapKit/KeyMappingLock.hpp"
#include "process/ChildProcess.hpp"
#include "process/GuardLaunch.hpp"
#include "SessionErrors.hpp"
#include "hid/KeyboardWatch.hpp"
#include "ledger/Holds.hpp"
#include "monitor/Retry.hpp"
#include "monitor/SessionMonitor.hpp"
#include "support/ProcessIdentity.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

namespace FnRemapKit {

using Process::endBound;
using SessionErrors::Message;

namespace {

using Loaded = KeyMappingLedger::Loaded;

[[noreturn]] void fail(Message message, std::initializer_list<std::string_view> parts = {}) {
  throw SessionErrors::error(message, parts);
}

std::string currentError() { return FnGuard::detail::errorText(std::current_exception()); }

/// How often a monitor without an exit notice looks at the guard.
constexpr std::chrono::milliseconds lookInterval{100};
/// Keyboards appear in bursts (a dock, a wake): one counts once this long
/// has passed with no other, or once the burst has lasted the longest.
constexpr std::chrono::milliseconds keyboardQuiet{500};
constexpr std::chrono::milliseconds keyboardBurstLimit{5000};

} // namespace

// Any thread may call any operation at any time; what each lock guards:
//  - calls: suspend(), resume() and end(), one at a time. Each stops the
//    monitor before it acts, so that hold, installed, suspended, the
//    store's ledger and the monitor itself (its start and stop) are, at any
//    moment, either the monitor's alone or the one running call's alone.
//    keyboards is the monitor's alone.
//  - guardAccess: guard and watching, between the monitor, those calls and
//    guardPid(), which only tries it and otherwise says lastGuardPid.
//  - handlerAccess: handler and stopReason, between onEvent(),
//    monitorStopReason() and the monitor, which calls a copy of the
//    handler with no lock held.
//  - ours, guardPath and owner are not changed after begin(); the
//    monitor's isCurrent() and stopping() are atomic.
// They are taken in that order (calls, guardAccess, the key mapping's
// lock, handlerAccess), never the other way. The destructor stops the
// monitor before it acts; no other thread may use the session by then.
struct FnRemapSession::State {
  AnyStore store;
  KeyMappingEntry ours;
  std::string guardPath;
  KeyMappingHold hold;      // ours in the ledger, once installed
  Process::ChildProcess guard;
  FileDescriptor watching;  // the guard's report pipe, whose end of file says it no longer watches
  std::mutex guardAccess;   // the guard, between the monitor and guardPid()
  std::atomic<pid_t> lastGuardPid{0}; // what guardPid() says while the monitor is at work
  pid_t owner = ::getpid(); // the process that began it, the only one it acts in
  bool installed = false;   // our hold and entry are in, not yet released
  bool suspended = false;   // released by suspend(), to be held again by resume()
  std::unique_ptr<HID::KeyboardWatch> keyboards; // on the HID store alone
  std::mutex handlerAccess; // the handler and stopReason
  std::mutex calls;         // suspend(), resume() and end(), one at a time
  EventHandler handler;
  std::optional<Ending> stopReason; // why the monitor last stopped on its own
  std::unique_ptr<Monitor::SessionMonitor> monitor = std::make_unique<Monitor::SessionMonitor>();

  State(AnyStore store, KeyMappingEntry ours, std::string guardPath)
      : store(std::move(store)), ours(std::move(ours)), guardPath(std::move(guardPath)) {}
  State(const State &) = delete;
  State &operator=(const State &) = delete;

  // A guard with nothing left to guard is ended; one whose entry could not
  // be restored is kept to remove it when we exit. A forked child holds a
  // copy of the state, and none of it is the child's to act on: not even
  // the monitor's thread, which is not in the child.
  ~State() {
    if (::getpid() != owner) {
      (void)monitor.release();
      (void)keyboards.release(); // on macOS a dispatch queue's, and dispatch does not survive fork either
      return;
    }
    monitor->stop(); // before we look: it may end our hold
    if (installed) {
      end(std::chrono::milliseconds{0}); // the lock once: the guard removes it anyway
    } else {
      const std::lock_guard access(guardAccess);
      endGuard();
    }
  }

  std::int64_t usage(std::string_view key) const { return ours.at(std::string(key)); }

  // Starts the guard and returns once it is watching us; throws, with the
  // guard ended, when it cannot be started or does not say so, or once
  // \p cancel is readable.
  void startGuard(int cancel = -1) {
    watching = FileDescriptor(); // a launch that throws leaves no pipe of the guard before
    watching = Process::launchGuard(guard, guardPath, usage(FnRemapMapping::srcKey), usage(FnRemapMapping::dstKey),
                                    cancel);
    lastGuardPid = guard.pid();
  }

  // Whether our guard still watches us: it runs, and has not closed its
  // report pipe, which it does as soon as it wakes, before it takes the
  // lock. Asked under the lock, a yes holds until we let the lock go: a
  // guard woken meanwhile waits for it and then finds what we installed.
  // One that has closed it may already have had the lock and found no hold
  // of ours, which we cannot tell from one that has yet to take it.
  bool guardWatching() noexcept { return guard.pid() != 0 && Process::stillWatching(watching.get()); }

  void endGuard() noexcept {
    guard.terminate(endBound);
    watching = FileDescriptor();
  }

  // The list and the ledger as they stand; throws saying which cannot be
  // had. A later FnRemapKit's ledger throws too, unless \p newer is given:
  // it is set then, and the plan has no holds.
  Holds::Plan current(bool *newer = nullptr) const {
    Holds::Plan plan;
    try {
      plan.list = store.read().value_or(KeyMappingList{});
    } catch (...) {
      fail(Message::cannotRead, {SessionErrors::readReason(std::current_exception())});
    }
    Loaded loaded;
    try {
      loaded = store.ledger.load();
    } catch (...) {
      fail(Message::holdsNotKept, {currentError()});
    }
    if (loaded.state == Loaded::State::newer && !newer)
      fail(Message::newerLedger);
    if (newer)
      *newer = loaded.state == Loaded::State::newer;
    plan.ledger = std::move(loaded.holds);
    return plan;
  }

  void save(const KeyMappingHolds &holds) const {
    try {
      store.ledger.save(holds);
    } catch (...) {
      fail(Message::holdsNotKept, {currentError()});
    }
  }

  // Under the lock: the repair, then our hold, then our entry. Throws with
  // no entry of ours in the list; a hold of ours left when even taking it
  // out fails is ended by the next repair after we exit. Installed already
  // (a guard replaced), the new guard's hold takes the place of ours, and
  // the entry goes back only if it is missing.
  void install() {
    const auto world = Holds::World::real();
    Holds::Plan plan = current();
    // The repair's list goes first, so that no hold leaves the ledger
    // before its entry has left the list.
    if (const auto before = plan.list; Holds::release(plan, world), plan.list != before)
      if (!store.write(plan.list))
        fail(Message::installRefused);
    if (const auto holder = Holds::conflicting(plan.ledger, world, ours))
      fail(Message::remappedByOther,
           {FnGuardArguments::formatUsage(ours.at(std::string(FnRemapMapping::srcKey))), std::to_string(holder)});
    // The guard finds its own hold by this: without it, it would take ours
    // for another's.
    const auto guardStart = lookUpProcess(guard.pid());
    if (!guardStart || guardStart->state == ProcessLook::State::refused)
      fail(Message::holdsNotKept, {"the guard's start time cannot be read"});
    const KeyMappingHold fresh{currentProcess(), {guard.pid(), guardStart->start}, world.boot, ours};
    const auto before = plan.ledger;
    if (installed)
      std::erase(plan.ledger.holds, hold);
    Holds::addHold(plan, fresh);
    save(plan.ledger);
    const auto list = Holds::installing(plan, world, fresh);
    if (list != plan.list && !store.write(list)) {
      // The ledger as it was, what was displaced and our earlier hold in
      // it: releasing the new hold instead would put back what was
      // displaced in a list that was never written, and drop it for good.
      try {
        store.ledger.save(before);
      } catch (...) {
        // The new hold stays, its application ours: released with ours, or
        // by the next repair after we exit.
        hold = fresh;
      }
      fail(Message::installRefused);
    }
    hold = fresh;
    installed = true;
  }

  // Under the lock: the repair and our release, the list written and
  // verified, and only then our hold dropped. Over a later FnRemapKit's
  // ledger, which is not ours to write, as a guard without a ledger: our
  // entry out unless the list lacks it. Returns what failed, if anything;
  // throws only for want of memory.
  std::optional<Ending> release() {
    try {
      return releaseOrThrow();
    } catch (...) {
      return failure(FnRemapSessionError::Code::stillRemapped);
    }
  }

  std::optional<Ending> releaseOrThrow() {
    const auto world = Holds::World::real();
    bool newer = false;
    Holds::Plan plan = current(&newer);
    const auto before = plan.list;
    std::int32_t keptFor = 0;
    if (newer)
      std::erase(plan.list, ours);
    else
      keptFor = Holds::release(plan, world, [&](const KeyMappingHold &held) { return held == hold; }, &ours);
    if (plan.list != before) {
      if (!store.write(plan.list))
        return SessionErrors::ending(Message::restoreRefused);
      KeyMappingList after;
      try {
        after = store.read().value_or(KeyMappingList{});
      } catch (...) {
        return SessionErrors::ending(Message::cannotRead, {SessionErrors::readReason(std::current_exception())});
      }
      if (!keptFor && FnGuard::detail::containsEntry(after, ours))
        return SessionErrors::ending(Message::stillRemapped);
    }
    // Our hold stays live while we run: left behind, it would keep the
    // entry for us in another session's release. So this fails too, and
    // the guard is kept.
    try {
      if (!newer)
        store.ledger.save(plan.ledger);
    } catch (...) {
      return SessionErrors::ending(Message::holdsNotKept, {currentError()});
    }
    return std::nullopt;
  }

  // Why this thread may not act on the session; nothing when it may.
  std::optional<Ending> refusal() const {
    if (::getpid() != owner)
      return SessionErrors::ending(Message::otherProcess, {std::to_string(owner)});
    if (monitor->isCurrent())
      return SessionErrors::ending(Message::fromEventHandler);
    return std::nullopt;
  }

  // What a step that threw leaves its caller: the error's own code, or for
  // anything else (no memory, say) \p otherwise.
  static Ending failure(FnRemapSessionError::Code otherwise) {
    try {
      throw;
    } catch (const FnRemapSessionError &error) {
      return {false, error.what(), error.code()};
    } catch (const std::exception &error) {
      return {false, error.what(), otherwise};
    } catch (...) {
      return {false, "unknown error", otherwise};
    }
  }

  // Our release under the lock, waiting \p lockBound at most for it.
  Ending releaseWithin(std::chrono::milliseconds lockBound) noexcept {
    try {
      const auto lock = KeyMappingLock::acquire(lockBound);
      if (!lock)
        return SessionErrors::lockFailure(lock.busy(), lock.error());
      if (auto failed = release())
        return std::move(*failed);
      return {true, {}};
    } catch (...) {
      // No memory, say: the list is as it was, our remap in it.
      return failure(FnRemapSessionError::Code::stillRemapped);
    }
  }

  // Releases our hold by the ledger's rules, as end() does, but keeps the
  // guard and the monitor, which then writes nothing until resume().
  Ending suspend() noexcept {
    if (auto refused = refusal())
      return *refused;
    const std::lock_guard serial(calls);
    // The monitor may have ended our hold: it is stopped before we look.
    monitor->stop();
    if (!installed) {
      startMonitor();
      return {true, {}};
    }
    const Ending ending = releaseWithin(KeyMappingLock::defaultBound);
    if (ending.restored) {
      installed = false;
      suspended = true;
    }
    startMonitor();
    return ending;
  }

  // Holds our entry again by begin()'s rules, with a new guard first if
  // the one we had ended meanwhile.
  Ending resume() noexcept {
    if (auto refused = refusal())
      return *refused;
    const std::lock_guard serial(calls);
    if (!suspended)
      return {true, {}};
    monitor->stop();
    Ending ending{true, {}};
    try {
      const std::lock_guard access(guardAccess);
      if (guard.pid() == 0)
        startGuard();
      const auto lock = KeyMappingLock::acquire();
      if (!lock) {
        ending = SessionErrors::lockFailure(lock.busy(), lock.error());
      } else {
        if (!guardWatching())
          fail(Message::endedEarly, {guardPath});
        install();
        suspended = false;
      }
    } catch (...) {
      ending = failure(FnRemapSessionError::Code::guardNotStarted);
    }
    startMonitor();
    return ending;
  }

  Ending end(std::chrono::milliseconds lockBound = KeyMappingLock::defaultBound) noexcept {
    if (auto refused = refusal())
      return *refused;
    const std::lock_guard serial(calls);
    monitor->stop();
    suspended = false;
    const std::lock_guard access(guardAccess);
    if (!installed) {
      endGuard();
      lastGuardPid = 0;
      return {true, {}};
    }
    const Ending ending = releaseWithin(lockBound);
    if (!ending.restored) {
      // The guard is kept, and so is the watch over it.
      startMonitor();
      return ending;
    }
    installed = false;
    endGuard();
    lastGuardPid = 0;
    return ending;
  }

  // The monitor: from begin() to end(), it watches the guard, and acts
  // when the guard ends while our entry is held. Nothing thrown leaves it:
  // a step that fails is tried again (Monitor::Retry), and one that fails
  // for too long stops it, telling the application why, with the guard
  // kept to remove our entry when we exit.

  bool startMonitor() {
    return monitor->start([this](Monitor::SessionMonitor &running) { watch(running); });
  }

  void watch(Monitor::SessionMonitor &running) {
    try {
      Monitor::Retry reapplying; // a reapply that failed
      while (!running.stopping()) {
        std::optional<Event> event;
        FileDescriptor notice;
        bool looking = false; // the guard runs, with no notice of its end
        {
          const std::lock_guard access(guardAccess);
          if (installed && guard.pid() == 0)
            event = guardEnded(running);
          notice = guard.exitNotice();
          looking = !notice && guard.pid() != 0;
          lastGuardPid = guard.pid();
        }
        if (event && !tell(*event))
          return;
        if (!installed && !suspended)
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
          if (const auto reapplied = reapply(running, reapplying); reapplied && !tell(*reapplied))
            return;
      }
    } catch (...) {
      // Nothing here throws but for want of memory.
      try {
        tell(stopped(failure(FnRemapSessionError::Code::stillRemapped)));
      } catch (...) {
      }
    }
  }

  // Keyboards appear in bursts: true once one is over, false on stop().
  bool burstOver(Monitor::SessionMonitor &running) {
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
  std::optional<Event> reapply(Monitor::SessionMonitor &running, Monitor::Retry &retry) {
    const std::lock_guard access(guardAccess);
    if (!installed || guard.pid() == 0) { // a guard that ended is seen to first
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
      if (!guardWatching()) { // one that is leaving has released, or will
        retry.reset();
        return std::nullopt;
      }
      try {
        const bool missing = !FnGuard::detail::containsEntry(current().list, ours);
        if (missing)
          install();
        retry.reset();
        return missing ? std::optional(Event::reapplied) : std::nullopt;
      } catch (...) {
        why = failure(FnRemapSessionError::Code::writeRefused);
      }
    }
    if (retry.failed())
      return std::nullopt;
    retry.reset();
    return stopped(std::move(why));
  }

  // Our guard has ended while we hold our entry. One that exited 0 has
  // released our hold: someone meant the remap to go (a stranger's signal;
  // at logout, a new guard would only be killed with us). One that exited
  // otherwise could not remove it, so we release it ourselves. One killed
  // (or reaped for us, its hold still in the ledger) is replaced.
  std::optional<Event> guardEnded(Monitor::SessionMonitor &running) {
    const auto &ending = guard.ending();
    const bool released = ending ? !ending->signalled && ending->number == 0 : !holdKept();
    if (released || (ending && !ending->signalled)) {
      // After a release by the guard, this only tidies: nothing is written
      // unless the guard's write went astray.
      if (releaseLocked(running) || (released && !running.stopping())) {
        installed = false;
        return Event::removed;
      }
    }
    return replaceGuard(running);
  }

  // Whether the ledger still has our hold; when it cannot be read, as if so.
  bool holdKept() const {
    try {
      const auto loaded = store.ledger.peek();
      return loaded.state != KeyMappingLedger::Loaded::State::read ||
             std::find(loaded.holds.holds.begin(), loaded.holds.holds.end(), hold) != loaded.holds.holds.end();
    } catch (...) {
      return true;
    }
  }

  // A new guard, watching, then our hold made its own under the lock, and
  // our entry back if it is missing. Without either, our hold is released:
  // there is never an entry of ours with no guard watching it, so until
  // one of the two has been done this tries again, and stops the monitor
  // once it has failed for too long.
  std::optional<Event> replaceGuard(Monitor::SessionMonitor &running) {
    for (Monitor::Retry retry;; ) {
      if (running.stopping())
        return std::nullopt;
      Ending why{true, {}};
      if (guard.pid() == 0) {
        try {
          startGuard(running.stopDescriptor());
        } catch (...) {
          why = failure(FnRemapSessionError::Code::guardNotStarted); // released below
        }
      }
      const auto lock = lockUnlessStopping(running);
      if (running.stopping())
        return std::nullopt;
      if (!lock) {
        why = SessionErrors::lockFailure(lock.busy(), lock.error());
      } else {
        if (guardWatching()) {
          try {
            install();
            return Event::guardReplaced;
          } catch (...) {
            why = failure(FnRemapSessionError::Code::writeRefused); // released below
          }
        }
        auto failed = release();
        if (!failed) {
          installed = false;
          endGuard();
          return Event::removed;
        }
        why = std::move(*failed);
      }
      if (!retry.failed())
        return stopped(std::move(why));
      if (!retry.wait(running))
        return std::nullopt;
    }
  }

  bool releaseLocked(Monitor::SessionMonitor &running) {
    const auto lock = lockUnlessStopping(running);
    return lock && !running.stopping() && !release();
  }

  // The lock within its usual bound, tried in short waits so that end()
  // need not wait for the rest of it.
  static KeyMappingLock lockUnlessStopping(const Monitor::SessionMonitor &running) {
    const auto deadline = std::chrono::steady_clock::now() + KeyMappingLock::defaultBound;
    for (;;) {
      auto lock = KeyMappingLock::acquire(std::chrono::milliseconds{50});
      if (lock || !lock.busy() || running.stopping() || std::chrono::steady_clock::now() >= deadline)
        return lock;
    }
  }

  // The monitor gives up: \p why is kept for the application to ask.
  Event stopped(Ending why) {
    const std::lock_guard access(handlerAccess);
    stopReason = std::move(why);
    return Event::monitorStopped;
  }

  // Tells the application; false once that is that the monitor stops.
  bool tell(Event event) noexcept {
    try {
      EventHandler current;
      {
        const std::lock_guard access(handlerAccess);
        current = handler;
      }
      if (current)
        current(event);
    } catch (...) {
      // The handler's own failure, or no memory to copy it: not ours to end on.
    }
    return event != Event::monitorStopped;
  }
};

FnRemapSession FnRemapSession::beginOver(const std::string &guardPath, const KeyMappingEntry &ours,
                                         AnyStore store) {
  if (ours.size() != 2 || !ours.contains(std::string(FnRemapMapping::srcKey)) ||
      !ours.contains(std::string(FnRemapMapping::dstKey)))
    throw std::invalid_argument("a session's entry holds exactly the keys " +
                                std::string(FnRemapMapping::srcKey) + " and " +
                                std::string(FnRemapMapping::dstKey));
  // On any way out from here, the state's destructor ends the guard, and
  // restores the list once the remap is in.
  auto state = std::make_unique<State>(std::move(store), ours, guardPath);
  if (state->store.hid)
    state->keyboards = HID::KeyboardWatch::open();
  state->startGuard();
  {
    // Only now, with the guard watching us, may the remap go in; and only
    // under the lock, so that no other writer's change is lost.
    const auto lock = KeyMappingLock::acquire();
    if (!lock) {
      const auto failure = SessionErrors::lockFailure(lock.busy(), lock.error());
      throw FnRemapSessionError(failure.code, failure.message);
    }
    // A stranger's signal may have woken it since: installed now, the remap
    // would have no guard, even while the woken one has yet to exit.
    if (!state->guardWatching())
      fail(Message::endedEarly, {guardPath});
    state->install();
  }
  if (!state->startMonitor())
    fail(Message::cannotStart, {guardPath, "no thread to watch it can be started"});
  return FnRemapSession(std::move(state));
}

FnRemapSession::FnRemapSession(std::unique_ptr<State> state) noexcept : state(std::move(state)) {}
FnRemapSession::FnRemapSession(FnRemapSession &&) noexcept = default;
FnRemapSession &FnRemapSession::operator=(FnRemapSession &&other) noexcept {
  if (this != &other) {
    if (isCallingFromEventHandler())
      (void)state.release(); // as the destructor does: its thread cannot wait for itself
    state = std::move(other.state);
  }
  return *this;
}

// The state cannot be freed from the monitor's own thread, which is still
// at work on it: there it is left, for good.
FnRemapSession::~FnRemapSession() {
  if (state && ::getpid() == state->owner && state->monitor->isCurrent())
    (void)state.release();
}

pid_t FnRemapSession::guardPid() noexcept {
  if (!state || ::getpid() != state->owner)
    return 0;
  const std::unique_lock access(state->guardAccess, std::try_to_lock);
  if (!access)
    return state->lastGuardPid;
  return state->lastGuardPid = state->guard.pid();
}

std::optional<FnRemapSession::Ending> FnRemapSession::monitorStopReason() const {
  if (!state)
    return std::nullopt;
  const std::lock_guard access(state->handlerAccess);
  return state->stopReason;
}

void FnRemapSession::onEvent(EventHandler handler) noexcept {
  if (!state)
    return;
  const std::lock_guard access(state->handlerAccess);
  state->handler = std::move(handler);
}

bool FnRemapSession::isCallingFromEventHandler() const noexcept {
  return state && ::getpid() == state->owner && state->monitor->isCurrent();
}

FnRemapSession::Ending FnRemapSession::suspend() noexcept {
  if (!state)
    return SessionErrors::ending(Message::movedFrom);
  return state->suspend();
}

FnRemapSession::Ending FnRemapSession::resume() noexcept {
  if (!state)
    return SessionErrors::ending(Message::movedFrom);
  return state->resume();
}

FnRemapSession::Ending FnRemapSession::end() noexcept {
  if (!state)
    return SessionErrors::ending(Message::movedFrom);
  return state->end();
}

} // namespace FnRemapKit
