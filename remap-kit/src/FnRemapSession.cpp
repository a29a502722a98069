#include "FnRemapKit/FnRemapSession.hpp"

#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/FnGuardArguments.hpp"
#include "FnRemapKit/KeyMappingLock.hpp"
#include "process/ChildProcess.hpp"
#include "process/GuardLaunch.hpp"
#include "SessionErrors.hpp"
#include "ledger/Holds.hpp"
#include "support/ProcessIdentity.hpp"

#include <unistd.h>

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

} // namespace

struct FnRemapSession::State {
  AnyStore store;
  KeyMappingEntry ours;
  KeyMappingHold hold;      // ours in the ledger, once installed
  Process::ChildProcess guard;
  pid_t owner = ::getpid(); // the process that began it, the only one it acts in
  bool installed = false;   // our hold and entry are in, not yet released

  State(AnyStore store, KeyMappingEntry ours) : store(std::move(store)), ours(std::move(ours)) {}
  State(const State &) = delete;
  State &operator=(const State &) = delete;

  // A guard with nothing left to guard is ended; one whose entry could not
  // be restored is kept to remove it when we exit. A forked child holds a
  // copy of the state, and none of it is the child's to act on.
  ~State() {
    if (::getpid() != owner)
      return;
    if (installed)
      end(std::chrono::milliseconds{0}); // the lock once: the guard removes it anyway
    else
      guard.terminate(endBound);
  }

  // Starts the guard and returns once it is watching us; throws, with the
  // guard ended, when it cannot be started or does not say so.
  void startGuard(const std::string &path) {
    const auto usage = [&](std::string_view key) { return ours.at(std::string(key)); };
    Process::launchGuard(guard, path, usage(FnRemapMapping::srcKey), usage(FnRemapMapping::dstKey));
  }

  // The list and the ledger as they stand; throws saying which cannot be had.
  Holds::Plan current() const {
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
    if (loaded.state == Loaded::State::newer)
      fail(Message::newerLedger);
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
  // out fails is ended by the next repair after we exit.
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
    hold = {currentProcess(), {guard.pid(), guardStart->start}, world.boot, ours};
    Holds::addHold(plan, hold);
    save(plan.ledger);
    const auto list = Holds::installing(plan, world, hold);
    if (list != plan.list && !store.write(list)) {
      Holds::release(plan, world, [&](const KeyMappingHold &held) { return held == hold; });
      try {
        store.ledger.save(plan.ledger);
      } catch (...) {
        // Our hold stays, its application ours: the next repair after we
        // exit ends it, and there is no entry of ours to take out.
      }
      fail(Message::installRefused);
    }
    installed = true;
  }

  // Under the lock: the repair and our release, the list written and
  // verified, and only then our hold dropped.
  std::optional<Ending> release() {
    const auto world = Holds::World::real();
    Holds::Plan plan = current();
    const auto before = plan.list;
    const auto keptFor = Holds::release(plan, world, [&](const KeyMappingHold &held) { return held == hold; }, &ours);
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
      store.ledger.save(plan.ledger);
    } catch (...) {
      return SessionErrors::ending(Message::holdsNotKept, {currentError()});
    }
    return std::nullopt;
  }

  Ending end(std::chrono::milliseconds lockBound = KeyMappingLock::defaultBound) noexcept {
    if (::getpid() != owner)
      return SessionErrors::ending(Message::otherProcess, {std::to_string(owner)});
    if (!installed)
      return {true, {}};
    try {
      const auto lock = KeyMappingLock::acquire(lockBound);
      if (!lock)
        return SessionErrors::lockFailure(lock.busy(), lock.error());
      if (auto failure = release())
        return std::move(*failure);
    } catch (const FnRemapSessionError &error) {
      return {false, error.what(), error.code()};
    } catch (const std::exception &error) {
      // No memory, say: the list is as it was, our remap in it.
      return {false, error.what(), FnRemapSessionError::Code::stillRemapped};
    }
    installed = false;
    guard.terminate(endBound);
    return {true, {}};
  }
};

FnRemapSession FnRemapSession::beginOver(const std::string &guardPath, const KeyMappingEntry &ours,
                                         AnyStore store) {
  if (ours.size() != 2 || !ours.contains(std::string(FnRemapMapping::srcKey)) ||
      !ours.contains(std::string(FnRemapMapping::dstKey)))
    throw std::invalid_argument("a session's entry holds exactly the keys " +
                                std::string(FnRemapMapping::srcKey) + " and " +
                                std::string(FnRemapMapping::dstKey));
  // On any way out from here, the state's destructor ends the guard.
  auto state = std::make_unique<State>(std::move(store), ours);
  state->startGuard(guardPath);
  // Only now, with the guard watching us, may the remap go in; and only
  // under the lock, so that no other writer's change is lost.
  const auto lock = KeyMappingLock::acquire();
  if (!lock) {
    const auto failure = SessionErrors::lockFailure(lock.busy(), lock.error());
    throw FnRemapSessionError(failure.code, failure.message);
  }
  // A stranger's signal may have ended it since: installed now, the remap
  // would have no guard.
  if (state->guard.pid() == 0)
    fail(Message::endedEarly, {guardPath});
  state->install();
  return FnRemapSession(std::move(state));
}

FnRemapSession::FnRemapSession(std::unique_ptr<State> state) noexcept : state(std::move(state)) {}
FnRemapSession::FnRemapSession(FnRemapSession &&) noexcept = default;
FnRemapSession &FnRemapSession::operator=(FnRemapSession &&) noexcept = default;
FnRemapSession::~FnRemapSession() = default;

pid_t FnRemapSession::guardPid() noexcept {
  if (!state || ::getpid() != state->owner)
    return 0;
  return state->guard.pid();
}

FnRemapSession::Ending FnRemapSession::end() noexcept {
  if (!state)
    return SessionErrors::ending(Message::movedFrom);
  return state->end();
}

} // namespace FnRemapKit
