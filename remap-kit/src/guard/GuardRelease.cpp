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
  explicit Release(const KeyMappingEntry &ours) : ours(ours) {}

  const HIDKeyMappingStore store;
  const KeyMappingLedger ledger = KeyMappingLedger::file();
  const Holds::World world = Holds::World::real();
  const ProcessIdentity self = currentProcess();
  const KeyMappingEntry &ours;

  bool own(const KeyMappingHold &hold) const { return hold.guard == self; }

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

  // Under the lock: the repair and our release, the list written and our
  // entry verified, then the ledger. With \p restoreFirst (the retry), the
  // entries of live holds that the list lacks are merged back first.
  FnGuardOutcome locked(bool restoreFirst) const {
    KeyMappingList current;
    try {
      current = store.read().value_or(KeyMappingList{});
    } catch (...) {
      return FnGuardOutcome::failed(std::string(readFailurePrefix) + errorText(std::current_exception()));
    }
    const auto loaded = holds(true);
    Holds::Plan plan{current, loaded.value_or(KeyMappingHolds{})};
    std::int32_t keptFor = 0;
    const auto pick = [this](const KeyMappingHold &hold) { return own(hold); };
    if (loaded) {
      if (restoreFirst)
        Holds::restoreLive(plan, world, pick);
      keptFor = Holds::release(plan, world, pick, &ours);
    } else {
      std::erase(plan.list, ours);
    }
    const bool wasThere = containsEntry(current, ours);
    if (plan.list != current) {
      if (!store.write(plan.list))
        return wasThere && !keptFor ? FnGuardOutcome::failed(std::string(writeRefusedMessage))
                                    : keptFor ? FnGuardOutcome::kept(keptFor) : FnGuardOutcome::alreadyGone();
      if (wasThere && !keptFor) {
        try {
          if (const auto after = store.read(); !after || containsEntry(*after, ours))
            return FnGuardOutcome::failed(std::string(stillThereMessage));
        } catch (...) {
          return FnGuardOutcome::failed(std::string(stillThereMessage));
        }
      }
    }
    // Only now, with the list as it should be, may the holds go; a guard
    // that dies before this leaves them to the next repair.
    if (loaded && plan.ledger != *loaded) {
      try {
        ledger.save(plan.ledger);
      } catch (...) {
      }
    }
    if (keptFor)
      return FnGuardOutcome::kept(keptFor);
    return wasThere ? FnGuardOutcome::removed() : FnGuardOutcome::alreadyGone();
  }

  // Without the lock: no repair and no ledger write; our entry goes unless
  // a live hold other than ours names it.
  FnGuardOutcome unlocked() const {
    if (const auto loaded = holds(false))
      for (const auto &hold : loaded->holds)
        if (!own(hold) && hold.entry == ours && Holds::isLive(hold, world))
          return FnGuardOutcome::kept(hold.application.pid);
    return removeOurs(ours, store);
  }
};

} // namespace

FnGuardOutcome releaseForGuard(const FnGuardArguments &arguments) noexcept {
  try {
    const Release release(arguments.entry());
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
