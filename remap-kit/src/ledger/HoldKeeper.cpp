// SPDX-License-Identifier: Apache-2.0
#include "HoldKeeper.hpp"

#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/FnGuardArguments.hpp"
#include "FnRemapKit/KeyMappingLock.hpp"
#include "../SessionErrors.hpp"
#include "../support/ProcessIdentity.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace FnRemapKit::Holds {

using SessionErrors::Message;

namespace {

using Loaded = KeyMappingLedger::Loaded;

[[noreturn]] void fail(Message message, std::initializer_list<std::string_view> parts = {}) {
  throw SessionErrors::error(message, parts);
}

std::string currentError() { return FnGuard::detail::errorText(std::current_exception()); }

} // namespace

// The list and the ledger as they stand; throws saying which cannot be
// had. A later FnRemapKit's ledger throws too, unless \p newer is given:
// it is set then, and the plan has no holds.
Plan HoldKeeper::current(bool *newer) const {
  Plan plan;
  try {
    plan.list = read().value_or(KeyMappingList{});
  } catch (...) {
    fail(Message::cannotRead, {SessionErrors::readReason(std::current_exception())});
  }
  Loaded loaded;
  try {
    loaded = ledger.load();
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

void HoldKeeper::save(const KeyMappingHolds &holds) const {
  try {
    ledger.save(holds);
  } catch (...) {
    fail(Message::holdsNotKept, {currentError()});
  }
}

void HoldKeeper::install(pid_t guard) {
  const auto world = World::real();
  Plan plan = current();
  // The repair's list goes first, so that no hold leaves the ledger
  // before its entry has left the list.
  if (const auto before = plan.list; Holds::release(plan, world), plan.list != before)
    if (!write(plan.list))
      fail(Message::installRefused);
  if (const auto holder = conflicting(plan.ledger, world, ours))
    fail(Message::remappedByOther,
         {FnGuardArguments::formatUsage(ours.at(std::string(FnRemapMapping::srcKey))), std::to_string(holder)});
  // The guard finds its own hold by this: without it, it would take ours
  // for another's.
  const auto guardStart = lookUpProcess(guard);
  if (!guardStart || guardStart->state == ProcessLook::State::refused)
    fail(Message::holdsNotKept, {"the guard's start time cannot be read"});
  const KeyMappingHold fresh{currentProcess(), {guard, guardStart->start}, world.boot, ours};
  const auto before = plan.ledger;
  if (installed)
    std::erase(plan.ledger.holds, hold);
  addHold(plan, fresh);
  save(plan.ledger);
  const auto list = installing(plan, world, fresh);
  if (list != plan.list && !write(list)) {
    // The ledger as it was, what was displaced and our earlier hold in
    // it: releasing the new hold instead would put back what was
    // displaced in a list that was never written, and drop it for good.
    try {
      ledger.save(before);
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

std::optional<HoldKeeper::Ending> HoldKeeper::release() {
  std::optional<Ending> failed;
  try {
    failed = releaseOrThrow();
  } catch (...) {
    return SessionErrors::failure(FnRemapSessionError::Code::stillRemapped);
  }
  if (!failed)
    installed = false;
  return failed;
}

std::optional<HoldKeeper::Ending> HoldKeeper::releaseOrThrow() {
  const auto world = World::real();
  bool newer = false;
  Plan plan = current(&newer);
  const auto before = plan.list;
  std::int32_t keptFor = 0;
  if (newer)
    std::erase(plan.list, ours);
  else
    keptFor = Holds::release(plan, world, [&](const KeyMappingHold &held) { return held == hold; }, &ours);
  if (plan.list != before) {
    if (!write(plan.list))
      return SessionErrors::ending(Message::restoreRefused);
    KeyMappingList after;
    try {
      after = read().value_or(KeyMappingList{});
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
      ledger.save(plan.ledger);
  } catch (...) {
    return SessionErrors::ending(Message::holdsNotKept, {currentError()});
  }
  return std::nullopt;
}

HoldKeeper::Ending HoldKeeper::releaseWithin(std::chrono::milliseconds lockBound) noexcept {
  try {
    const auto lock = KeyMappingLock::acquire(lockBound);
    if (!lock)
      return SessionErrors::lockFailure(lock.busy(), lock.error());
    if (auto failed = release())
      return std::move(*failed);
    return {true, {}};
  } catch (...) {
    // No memory, say: the list is as it was, our remap in it.
    return SessionErrors::failure(FnRemapSessionError::Code::stillRemapped);
  }
}

bool HoldKeeper::kept() const noexcept {
  try {
    const auto loaded = ledger.peek();
    return loaded.state != Loaded::State::read ||
           std::find(loaded.holds.holds.begin(), loaded.holds.holds.end(), hold) != loaded.holds.holds.end();
  } catch (...) {
    return true;
  }
}

bool HoldKeeper::entryMissing() const { return !FnGuard::detail::containsEntry(current().list, ours); }

} // namespace FnRemapKit::Holds
