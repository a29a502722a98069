// SPDX-License-Identifier: Apache-2.0
#include "FnRemapKit/FnRemapSession.hpp"

#include "FnRemapKit/KeyMappingLock.hpp"
#include "SessionErrors.hpp"
#include "ledger/HoldKeeper.hpp"
#include "monitor/EventDispatch.hpp"
#include "monitor/GuardReactions.hpp"
#include "monitor/SessionMonitor.hpp"
#include "process/SessionGuard.hpp"

#include <unistd.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

namespace FnRemapKit {

using SessionErrors::Message;

namespace {

[[noreturn]] void fail(Message message, std::initializer_list<std::string_view> parts = {}) {
  throw SessionErrors::error(message, parts);
}

} // namespace

// Any thread may call any operation at any time. The session's state, and
// what guards each part of it:
//  - calls: suspend(), resume() and end(), one at a time. Each stops the
//    monitor before it acts, so that holds (our hold in the list and the
//    ledger, which other writers meet under the key mapping's lock),
//    suspended (handed to the monitor as it starts) and the monitor itself
//    (its start and stop) are, at any moment, either the monitor's alone
//    or the one running call's alone. reactions (its
//    keyboards) is the monitor's alone.
//  - guard.access: the guard, between the monitor, those calls and
//    guardPid(), which only tries it and otherwise says guard.lastPid().
//  - events' own lock: the handler and the monitor's stop reason, between
//    onEvent(), monitorStopReason() and the monitor, which calls a copy of
//    the handler with no lock held.
//  - owner, our entry and the guard's path are not changed after begin();
//    the monitor's isCurrent() and stopping() are atomic.
// They are taken in that order (calls, guard.access, the key mapping's
// lock, events' lock), never the other way. The destructor stops the
// monitor before it acts; no other thread may use the session by then.
struct FnRemapSession::State {
  Holds::HoldKeeper holds;      // our entry and hold, over the store's list and ledger
  Process::SessionGuard guard;  // the one guard we have at a time
  Monitor::EventDispatch events;
  Monitor::GuardReactions reactions; // the monitor's work when woken
  pid_t owner = ::getpid(); // the process that began it, the only one it acts in
  bool suspended = false;   // released by suspend(), to be held again by resume()
  std::mutex calls;
  // Last, so that it is gone before anything its thread uses.
  std::unique_ptr<Monitor::SessionMonitor> monitor = std::make_unique<Monitor::SessionMonitor>();

  State(AnyStore store, const KeyMappingEntry &ours, const std::string &guardPath)
      : holds(std::move(store.read), std::move(store.write), std::move(store.ledger), ours),
        guard(guardPath, holds.usage(FnRemapMapping::srcKey), holds.usage(FnRemapMapping::dstKey)),
        reactions(guard, holds, events, store.hid) {}
  State(const State &) = delete;
  State &operator=(const State &) = delete;

  // A guard with nothing left to guard is ended; one whose entry could not
  // be restored is kept to remove it when we exit. A forked child holds a
  // copy of the state, and none of it is the child's to act on: not even
  // the monitor's thread, which is not in the child.
  ~State() {
    if (::getpid() != owner) {
      (void)monitor.release();
      reactions.abandon();
      return;
    }
    monitor->stop(); // before we look: it may end our hold
    if (holds.holding()) {
      end(std::chrono::milliseconds{0}); // the lock once: the guard removes it anyway
    } else {
      const std::lock_guard access(guard.access);
      guard.end();
    }
  }

  // Why this thread may not act on the session; nothing when it may.
  std::optional<Ending> refusal() const {
    if (::getpid() != owner)
      return SessionErrors::ending(Message::otherProcess, {std::to_string(owner)});
    if (monitor->isCurrent())
      return SessionErrors::ending(Message::fromEventHandler);
    return std::nullopt;
  }

  // Only with the guard watching us may the remap go in; and only under
  // the lock, so that no other writer's change is lost. Throws what
  // failed, a lock not had included.
  void installWatched() {
    const auto lock = KeyMappingLock::acquire();
    if (!lock) {
      const auto failure = SessionErrors::lockFailure(lock.busy(), lock.error());
      throw FnRemapSessionError(failure.code, failure.message);
    }
    // A stranger's signal may have woken it since: installed now, the remap
    // would have no guard, even while the woken one has yet to exit.
    if (!guard.watching())
      fail(Message::endedEarly, {guard.path()});
    holds.install(guard.pid());
  }

  bool startMonitor() {
    return monitor->start(
        [this, suspended = suspended](Monitor::SessionMonitor &running) { reactions.watch(running, suspended); });
  }

  // Releases our hold by the ledger's rules, as end() does, but keeps the
  // guard and the monitor, which then writes nothing until resume().
  Ending suspend() noexcept {
    if (auto refused = refusal())
      return *refused;
    const std::lock_guard serial(calls);
    monitor->stop(); // it may have ended our hold: stopped before we look
    Ending ending{true, {}};
    if (holds.holding()) {
      ending = holds.releaseWithin(KeyMappingLock::defaultBound);
      if (ending.restored)
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
      const std::lock_guard access(guard.access);
      if (guard.pid() == 0)
        guard.start();
      installWatched();
      suspended = false;
    } catch (...) {
      ending = SessionErrors::failure(FnRemapSessionError::Code::guardNotStarted);
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
    const std::lock_guard access(guard.access);
    Ending ending{true, {}};
    if (holds.holding()) {
      ending = holds.releaseWithin(lockBound);
      if (!ending.restored) {
        startMonitor(); // the guard is kept, and so is the watch over it
        return ending;
      }
    }
    guard.end();
    guard.forgetPid();
    return ending;
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
  state->guard.start();
  state->installWatched();
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
  const std::unique_lock access(state->guard.access, std::try_to_lock);
  if (!access)
    return state->guard.lastPid();
  return state->guard.notePid();
}

std::optional<FnRemapSession::Ending> FnRemapSession::monitorStopReason() const {
  if (!state)
    return std::nullopt;
  return state->events.stopReason();
}

void FnRemapSession::onEvent(EventHandler handler) noexcept {
  if (!state)
    return;
  state->events.setHandler(std::move(handler));
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
