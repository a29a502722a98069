// SPDX-License-Identifier: Apache-2.0
// The install and restore rules against their laws, on random lists over a
// small domain, so that sources collide, copies of ours recur, and entries
// lack the source key or carry extra keys; and among them other tools'
// entries, whose source never matches ours, whatever they hold.
#include "FnRemapKit/KeyMapping.hpp"
#include "hid/HIDSystem.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>

using namespace FnRemapKit;
using namespace FnRemapKit::FnRemapMapping;

namespace {

const std::string srcKey(FnRemapMapping::srcKey), dstKey(FnRemapMapping::dstKey);

KeyMappingEntry randomEntry(std::mt19937_64 &rng) {
  KeyMappingEntry e;
  if (rng() % 6 != 0)
    e[srcKey] = std::array<std::int64_t, 4>{fnSource, 1, 2, 3}[rng() % 4];
  if (rng() % 6 != 0)
    e[dstKey] = std::array<std::int64_t, 3>{fnDestination, 4, 5}[rng() % 3];
  if (rng() % 5 == 0)
    e["extra"] = 0;
  return e;
}

TEST(ListRulesTest, KeepTheirLawsOnRandomLists) {
  std::mt19937_64 rng(20261206);
  const auto randomList = [&] {
    KeyMappingList list(rng() % 12);
    std::ranges::generate(list, [&]() -> KeyMappingElement {
      if (rng() % 5)
        return randomEntry(rng);
      using namespace HID;
      return ForeignKeyMappingEntry(Value{Dictionary{{Value{srcKey}, Value{fnSource}}, {Value{std::string("x")}, Value{rng() % 2 == 0}}}});
    });
    return list;
  };
  for (int trial = 0; trial < 5000; ++trial) {
    const KeyMappingList list = randomList();
    const KeyMappingEntry mine = rng() % 8 ? entry(fnSource, fnDestination) : randomEntry(rng);
    const auto differs = [&](const KeyMappingElement &element) {
      const auto *e = element.entry();
      return !e || e->contains(srcKey) != mine.contains(srcKey) || (e->contains(srcKey) && e->at(srcKey) != mine.at(srcKey));
    };
    KeyMappingList others, sameSource;
    std::ranges::partition_copy(list, std::back_inserter(others), std::back_inserter(sameSource), differs);

    // Merging: the other sources in order, then ours exactly once.
    const auto merged = merging(list, mine);
    auto expected = others;
    expected.push_back(mine);
    ASSERT_EQ(merged, expected);
    ASSERT_EQ(merging(merged, mine), merged);

    // Merge then restore gives back every entry of the list: the other
    // sources first, then ours, each part in the list's order.
    expected.pop_back();
    expected.insert(expected.end(), sameSource.begin(), sameSource.end());
    ASSERT_EQ(restoring(merged, mine, list), expected);

    // Restoring over any current list keeps every entry but exact copies of
    // ours in order, and appends our source's entries from the original.
    KeyMappingList current = randomList();
    const auto restored = restoring(current, mine, list);
    std::erase(current, mine);
    current.insert(current.end(), sameSource.begin(), sameSource.end());
    ASSERT_EQ(restored, current);
  }
}

} // namespace
