#include "FnRemapKit/KeyMapping.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>

using namespace FnRemapKit;
using FnRemapMapping::entry;
using FnRemapMapping::merging;
using FnRemapMapping::restoring;

namespace {

constexpr std::int64_t S = FnRemapMapping::fnSource;
constexpr std::int64_t D = FnRemapMapping::fnDestination;
const KeyMappingEntry ours = entry(S, D);
const std::string srcKey(FnRemapMapping::srcKey), dstKey(FnRemapMapping::dstKey);

KeyMappingEntry withKey(KeyMappingEntry base, std::string key, std::int64_t v) {
  base[std::move(key)] = v;
  return base;
}

TEST(KeyMappingTest, EntryEquality) {
  EXPECT_EQ(entry(0xFF00000003, 0x70000006E),
            (KeyMappingEntry{{"HIDKeyboardModifierMappingSrc", 0xFF00000003}, {"HIDKeyboardModifierMappingDst", 0x70000006E}}));
  const std::vector<std::tuple<KeyMappingEntry, KeyMappingEntry, bool>> rows = {
      {ours, entry(S, D), true},
      {{}, {}, true},
      {entry(-1, INT64_MIN), entry(-1, INT64_MIN), true},
      {ours, withKey(ours, "HIDKeyboardModifierMappingExtra", 0), false},
      {ours, entry(S, D + 1), false},
      {ours, entry(S - 1, D), false},
      {ours, {{"hidkeyboardmodifiermappingsrc", S}, {dstKey, D}}, false},
      {{{"a", 1}}, {{"b", 1}}, false},
      {{}, {{"a", 0}}, false},
  };
  for (const auto &[a, b, equal] : rows) {
    EXPECT_EQ(FnRemapMapping::isOurs(a, b), equal);
    EXPECT_EQ(FnRemapMapping::isOurs(b, a), equal);
  }
}

TEST(KeyMappingTest, MergingAndRestoringByExample) {
  EXPECT_EQ(merging({}, ours), KeyMappingList{ours});
  EXPECT_EQ(merging({entry(S, 5), ours, entry(1, 2), entry(S, 6)}, ours), (KeyMappingList{entry(1, 2), ours}));
  // Every copy of ours goes, entries merely like it stay, and then the
  // original's entries for our source come back after them.
  const KeyMappingList current = {entry(1, 2), ours, withKey(ours, "x", 1), entry(S, 7), ours};
  EXPECT_EQ(restoring(current, ours, {entry(S, 5), entry(1, 2), ours}),
            (KeyMappingList{entry(1, 2), withKey(ours, "x", 1), entry(S, 7), entry(S, 5), ours}));
  EXPECT_EQ(restoring({}, ours, {}), KeyMappingList{});
}

// Random lists over a small domain, so that sources collide, copies of ours
// recur, and entries lack the source key or carry extra keys.
KeyMappingEntry randomEntry(std::mt19937_64 &rng) {
  KeyMappingEntry e;
  if (rng() % 6 != 0)
    e[srcKey] = std::array<std::int64_t, 4>{S, 1, 2, 3}[rng() % 4];
  if (rng() % 6 != 0)
    e[dstKey] = std::array<std::int64_t, 3>{D, 4, 5}[rng() % 3];
  if (rng() % 5 == 0)
    e["extra"] = 0;
  return e;
}

KeyMappingList randomList(std::mt19937_64 &rng) {
  KeyMappingList list(rng() % 12);
  std::ranges::generate(list, [&] { return randomEntry(rng); });
  return list;
}

TEST(KeyMappingTest, ListRulesKeepTheirLawsOnRandomLists) {
  std::mt19937_64 rng(20261206);
  for (int trial = 0; trial < 5000; ++trial) {
    const KeyMappingList list = randomList(rng);
    const KeyMappingEntry mine = rng() % 8 ? ours : randomEntry(rng);
    const auto differs = [&](const KeyMappingEntry &e) {
      return e.contains(srcKey) != mine.contains(srcKey) ||
             (e.contains(srcKey) && e.at(srcKey) != mine.at(srcKey));
    };
    KeyMappingList others, sameSource;
    std::ranges::copy_if(list, std::back_inserter(others), differs);
    std::ranges::remove_copy_if(list, std::back_inserter(sameSource), differs);

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

    // Restoring over any current list keeps every non-copy in order and
    // appends our source's entries from the original.
    KeyMappingList current = randomList(rng);
    const auto restored = restoring(current, mine, list);
    std::erase(current, mine);
    current.insert(current.end(), sameSource.begin(), sameSource.end());
    ASSERT_EQ(restored, current);
  }
}

} // namespace
