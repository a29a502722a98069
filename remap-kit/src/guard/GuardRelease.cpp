// SPDX-License-Identifier: Apache-2.0
#include "GuardRelease.hpp"

#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/HIDKeyMappingStore.hpp"
#include "FnRemapKit/KeyMappingLedger.hpp"
#include "FnRemapKit/KeyMappingLock.hpp"
#include "../ledger/Holds.hpp"
#include "../support/ProcessIdentity.hpp"

#include <optional>

namespace FnRemapKit::FnGuard::detail {
namespace {

using Loaded = KeyMappingLedger::Loaded;

// What the guard works with: the store, the ledger, the world, and which
// hold is its own.
struct Release {
  Release(const KeyMappingEntry &ours, std::optional<ProcessIdentity> application)
      : ours(ours), application(std::move(application)) {}

  const HIDKeyMappingStore store;
  const KeyMappingLedger ledger = KeyMappingLedger::file();
  const Holds::World world = Holds::World::real();
  const ProcessIdentity self = currentProcess();
  const KeyMappingEntry &ours;
  const std::optional<ProcessIdentity> application; // our parent, when it could be identified

  // Ours by our pid; or, since a session whose guard was killed replaces
  // it before it names the new one in its hold, a hold of our application
  // for our entry whose guard is gone.
  bool own(const KeyMappingHold &hold) const {
    return hold.guard == self || (application && hold.application == *application && hold.entry == ours &&
                                  !isRunning(hold.guard));
  }

  // The holds, or nothing when they cannot be had or are a later version's:
  // the guard then removes as one without a ledger does.
  std::optional<KeyMappingHolds> holds(bool locked) const {
    try {
      const Loaded loaded = locked ? ledger.load() : ledger.peek();
      return loaded.state == Loaded::State::newer ? std::nullopt : std::optional(loaded.holds);
    } catch (...) {
      return std::nullopt;
    }
  }

  std::optional<KeyMappingList> list(FnGuardOutcome &failure) const {
    try {
      return store.read().value_or(KeyMappingList{});
    } catch (...) {
      failure = FnGuardOutcome::failed(std::string(readFailurePrefix) + errorText(std::current_exception()));
      return std::nullopt;
    }
  }

  // Writes \p plan's list over \p current where it differs and, when ours
  // was there to take out, verifies that it is gone. Nothing when all went
  // as it should; refused, when the list was not written but nothing of
  // ours was at stake (the holds must then stay for the next repair).
  std::optional<FnGuardOutcome> write(const KeyMappingList &current, const Holds::Plan &plan, bool takingOut,
                                      bool &refused) const {
    refused = false;
    if (plan.list == current)
      return std::nullopt;
    if (!store.write(plan.list)) {
      refused = true;
      return takingOut ? std::optional(FnGuardOutcome::failed(std::string(writeRefusedMessage))) : std::nullopt;
    }
    if (takingOut) {
      try {
        if (!containsEntry(store.read().value_or(KeyMappingList{}), ours))
          return std::nullopt;
      } catch (...) {
        // A verifying read that fails proves nothing either way.
      }
      return FnGuardOutcome::failed(std::string(stillThereMessage));
    }
    return std::nullopt;
  }

  static FnGuardOutcome outcome(bool wasThere, std::int32_t keptFor) {
    if (keptFor)
      return FnGuardOutcome::kept(keptFor);
    return wasThere ? FnGuardOutcome::removed() : FnGuardOutcome::alreadyGone();
  }

  // Under the lock: the repair and our release, the list written and our
  // entry verified, then the ledger. With \p restoreFirst (the retry), the
  // entries of live holds that the list lacks are merged back first, what
  // that drops recorded in the ledger before the list changes.
  FnGuardOutcome locked(bool restoreFirst) const {
    FnGuardOutcome failure = FnGuardOutcome::alreadyGone();
    const auto current = list(failure);
    if (!current)
      return failure;
    const auto loaded = holds(true);
    if (!loaded) {
      Holds::Plan plan{*current, {}};
      std::erase(plan.list, ours);
      bool refused = false;
      return write(*current, plan, plan.list != *current, refused).value_or(outcome(plan.list != *current, 0));
    }
    const auto pick = [this](const KeyMappingHold &hold) { return own(hold); };
    Holds::Plan plan{*current, *loaded};
    if (restoreFirst) {
      Holds::restoreLive(plan, world, pick);
      if (plan.ledger != *loaded && !save(plan.ledger))
        plan = {*current, *loaded};
    }
    const bool wasThere = containsEntry(plan.list, ours);
    const auto keptFor = Holds::release(plan, world, pick, &ours);
    bool refused = false;
    if (auto failed = write(*current, plan, wasThere && !keptFor, refused))
      return *failed;
    // Only now, with the list as it should be, may the holds go; a guard
    // that dies before this leaves them to the next repair.
    if (!refused && plan.ledger != *loaded)
      save(plan.ledger);
    return outcome(wasThere || containsEntry(*current, ours), keptFor);
  }

  bool save(const KeyMappingHolds &holds) const {
    try {
      ledger.save(holds);
      return true;
    } catch (...) {
      return false;
    }
  }

  // Without the lock: no repair and no ledger write. Our entry goes unless
  // a live hold other than ours names it, and with it back comes what was
  // displaced for its source: should another writer's release have come
  // between our read and our write, what it put back stays.
  FnGuardOutcome unlocked() const {
    const auto loaded = holds(false);
    if (!loaded)
      return removeOurs(ours, store);
    FnGuardOutcome failure = FnGuardOutcome::alreadyGone();
    const auto current = list(failure);
    if (!current)
      return failure;
    Holds::Plan plan{*current, *loaded};
    if (!containsEntry(*current, ours))
      return FnGuardOutcome::alreadyGone();
    if (const auto keptFor = Holds::releaseEntry(plan, world, [this](const auto &hold) { return own(hold); }, ours))
      return FnGuardOutcome::kept(keptFor);
    bool refused = false;
    return write(*current, plan, true, refused).value_or(FnGuardOutcome::removed());
  }
};

} // namespace

FnGuardOutcome releaseForGuard(const FnGuardArguments &arguments,
                               const std::optional<ProcessIdentity> &application) noexcept {
  try {
    const Release release(arguments.entry(), application);
    if (const auto lock = KeyMappingLock::acquire())
      return release.locked(false);
    else if (!lock.busy())
      return release.unlocked();
    // A holder stopped or hung: our entry goes now, and again under the
    // lock once the holder is done, should its stale list have put it back.
    const auto first = release.unlocked();
    const auto lock = KeyMappingLock::acquire(retryBound);
    if (!lock)
      return first;
    const auto last = release.locked(true);
    return last.kind() == FnGuardOutcome::Kind::alreadyGone && first.kind() == FnGuardOutcome::Kind::removed ? first
                                                                                                          : last;
  } catch (...) {
    return FnGuardOutcome::failed("unknown error");
  }
}

} // namespace FnRemapKit::FnGuard::detail
