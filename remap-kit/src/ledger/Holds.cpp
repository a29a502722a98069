// SPDX-License-Identifier: Apache-2.0
#include "Holds.hpp"

#include "../hid/HIDSystem.hpp"
#include "../support/ProcessIdentity.hpp"

#include <algorithm>
#include <optional>

namespace FnRemapKit::Holds {
namespace {

std::optional<std::int64_t> sourceOf(const KeyMappingEntry &entry) {
  const auto found = entry.find(std::string(FnRemapMapping::srcKey));
  return found == entry.end() ? std::nullopt : std::optional(found->second);
}

// A foreign entry's source matches none: it never stands for a source, and
// nothing displaces it.
bool hasSource(const KeyMappingElement &element, std::optional<std::int64_t> source) {
  const auto *entry = element.entry();
  return entry && sourceOf(*entry) == source;
}

bool holdsEntry(const auto &list, const KeyMappingEntry &entry) {
  return std::ranges::find(list, entry) != list.end();
}

// The first live hold of \p ledger that names \p entry and is not \p except.
const KeyMappingHold *liveHolder(const std::vector<KeyMappingHold> &holds, const World &world,
                                 const KeyMappingEntry &entry, const KeyMappingHold *except = nullptr) {
  for (const auto &hold : holds)
    if (&hold != except && hold.entry == entry && isLive(hold, world))
      return &hold;
  return nullptr;
}

// Takes \p entry out of the list, and puts back what was displaced for its
// source while nothing else stands there: once, since after that the
// source has an entry again.
void takeOut(Plan &plan, const KeyMappingEntry &entry) {
  const auto source = sourceOf(entry);
  std::erase(plan.list, entry);
  const bool taken = std::ranges::any_of(plan.list, [&](const auto &other) { return hasSource(other, source); });
  const auto displaced = source ? plan.ledger.displaced.find(*source) : plan.ledger.displaced.end();
  if (!taken && displaced != plan.ledger.displaced.end())
    plan.list.insert(plan.list.end(), displaced->second.begin(), displaced->second.end());
}

// What merging \p entry in will drop from the list: the user's entries for
// its source, which stand for what they want now. They replace what
// earlier installs displaced, which the user had already put aside; with
// none, what was displaced stays.
void recordDisplaced(Plan &plan, const KeyMappingEntry &entry) {
  const auto source = sourceOf(entry);
  std::vector<KeyMappingEntry> dropped;
  for (const auto &other : plan.list)
    if (hasSource(other, source) && other != entry && !holdsEntry(dropped, *other.entry()))
      dropped.push_back(*other.entry());
  if (source && !dropped.empty())
    plan.ledger.displaced[*source] = std::move(dropped);
}

} // namespace

World World::real() {
  return {[](const ProcessIdentity &process) { return isRunning(process); }, bootIdentifier(),
          HID::listOutlivesRestart()};
}

bool isLive(const KeyMappingHold &hold, const World &world) {
  return hold.boot == world.boot && world.running(hold.application);
}

std::int32_t release(Plan &plan, const World &world, const Pick &leaving, const KeyMappingEntry *ours) {
  std::vector<KeyMappingHold> staying, gone;
  for (auto &hold : plan.ledger.holds)
    ((leaving && leaving(hold)) || !isLive(hold, world) ? gone : staying).push_back(std::move(hold));

  // What leaves the list: the entries of the holds that go, but those of
  // another boot where the list did not outlive it, and ours.
  std::vector<KeyMappingEntry> leavingEntries;
  const auto add = [&](const KeyMappingEntry &entry) {
    if (!holdsEntry(leavingEntries, entry))
      leavingEntries.push_back(entry);
  };
  for (const auto &hold : gone)
    if (hold.boot == world.boot || world.listOutlivesRestart)
      add(hold.entry);
  if (ours)
    add(*ours);

  std::int32_t keptFor = 0;
  for (const auto &entry : leavingEntries) {
    if (const auto *holder = liveHolder(staying, world, entry)) {
      if (ours && entry == *ours)
        keptFor = holder->application.pid;
      continue;
    }
    takeOut(plan, entry);
  }

  plan.ledger.holds = std::move(staying);
  std::erase_if(plan.ledger.displaced, [&](const auto &displaced) {
    return std::ranges::none_of(plan.ledger.holds,
                                [&](const auto &hold) { return sourceOf(hold.entry) == displaced.first; });
  });
  return keptFor;
}

std::int32_t conflicting(const KeyMappingHolds &ledger, const World &world, const KeyMappingEntry &ours) {
  for (const auto &hold : ledger.holds)
    if (sourceOf(hold.entry) == sourceOf(ours) && hold.entry != ours && isLive(hold, world))
      return hold.application.pid;
  return 0;
}

void addHold(Plan &plan, const KeyMappingHold &hold) {
  recordDisplaced(plan, hold.entry);
  plan.ledger.holds.push_back(hold);
}

KeyMappingList installing(const Plan &plan, const World &world, const KeyMappingHold &hold) {
  const auto own = std::ranges::find(plan.ledger.holds, hold);
  const KeyMappingHold *self = own == plan.ledger.holds.end() ? nullptr : &*own;
  if (liveHolder(plan.ledger.holds, world, hold.entry, self) && holdsEntry(plan.list, hold.entry))
    return plan.list;
  return FnRemapMapping::merging(plan.list, hold.entry);
}

void restoreLive(Plan &plan, const World &world, const Pick &leaving) {
  for (const auto &hold : plan.ledger.holds)
    if (!(leaving && leaving(hold)) && isLive(hold, world) && !holdsEntry(plan.list, hold.entry)) {
      recordDisplaced(plan, hold.entry);
      plan.list = FnRemapMapping::merging(plan.list, hold.entry);
    }
}

std::int32_t releaseEntry(Plan &plan, const World &world, const Pick &own, const KeyMappingEntry &ours) {
  for (const auto &hold : plan.ledger.holds)
    if (!(own && own(hold)) && hold.entry == ours && isLive(hold, world))
      return hold.application.pid;
  takeOut(plan, ours);
  return 0;
}

} // namespace FnRemapKit::Holds
