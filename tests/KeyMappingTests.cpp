#include "FnRemapKit/KeyMapping.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using namespace FnRemapKit;
using FnRemapMapping::entry;
using FnRemapMapping::merging;
using FnRemapMapping::restoring;

namespace {

constexpr std::int64_t S = FnRemapMapping::fnSource;
constexpr std::int64_t D = FnRemapMapping::fnDestination;
const KeyMappingEntry ours = entry(S, D);

KeyMappingEntry withKey(KeyMappingEntry base, std::string key, std::int64_t v) {
  base[std::move(key)] = v;
  return base;
}

TEST(KeyMappingTest, FnEntryHasExactlyTheTwoKeys) {
  const KeyMappingEntry expected = {{"HIDKeyboardModifierMappingSrc", 0xFF00000003},
                                    {"HIDKeyboardModifierMappingDst", 0x70000006E}};
  EXPECT_EQ(entry(0xFF00000003, 0x70000006E), expected);
  EXPECT_EQ(S, (std::int64_t{0xFF} << 32) + 3);
  EXPECT_EQ(FnRemapMapping::fnDestinationKeyCode, 80);
}

TEST(KeyMappingTest, EntryEquality) {
  struct Row {
    KeyMappingEntry a, b;
    bool equal;
  };
  const std::vector<Row> rows = {
      {ours, entry(S, D), true},
      {{}, {}, true},
      {ours, withKey(ours, "HIDKeyboardModifierMappingExtra", 0), false},
      {ours, entry(S, D + 1), false},
      {ours, entry(S - 1, D), false},
      {ours, {{"hidkeyboardmodifiermappingsrc", S}, {std::string(FnRemapMapping::dstKey), D}}, false},
      {{{"a", 1}}, {{"b", 1}}, false},
      {{}, {{"a", 0}}, false},
      {entry(-1, INT64_MIN), entry(-1, INT64_MIN), true},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(FnRemapMapping::isOurs(row.a, row.b), row.equal);
    EXPECT_EQ(FnRemapMapping::isOurs(row.b, row.a), row.equal);
  }
}

TEST(KeyMappingTest, MergingReplacesEveryEntryForOurSource) {
  const auto noSource = KeyMappingEntry{{std::string(FnRemapMapping::dstKey), 9}};
  EXPECT_EQ(merging({}, ours), KeyMappingList{ours});
  EXPECT_EQ(merging({entry(1, 2), ours, entry(3, 4)}, ours),
            (KeyMappingList{entry(1, 2), entry(3, 4), ours}));
  EXPECT_EQ(merging({entry(S, 5), entry(1, 2), entry(S, 6)}, ours),
            (KeyMappingList{entry(1, 2), ours}));
  EXPECT_EQ(merging({noSource}, ours), (KeyMappingList{noSource, ours}));
  // An ours without a source matches exactly the entries without one.
  const auto sourceless = KeyMappingEntry{{std::string(FnRemapMapping::dstKey), 1}};
  EXPECT_EQ(merging({noSource, entry(1, 2)}, sourceless),
            (KeyMappingList{entry(1, 2), sourceless}));
  EXPECT_EQ(restoring({entry(1, 2), sourceless}, sourceless, {noSource, entry(1, 2)}),
            (KeyMappingList{entry(1, 2), noSource}));
}

TEST(KeyMappingTest, RestoringRemovesOnlyCopiesAndPutsBackOurSource) {
  const auto wider = withKey(ours, "x", 1);
  struct Row {
    KeyMappingList current, original, expected;
  };
  const std::vector<Row> rows = {
      {{entry(1, 2), ours, entry(3, 4), ours}, {}, {entry(1, 2), entry(3, 4)}},
      {{wider, entry(S, 7)}, {}, {wider, entry(S, 7)}},
      {{entry(1, 2), ours}, {entry(S, 5), entry(1, 2)}, {entry(1, 2), entry(S, 5)}},
      {{entry(S, 7)}, {entry(S, 5)}, {entry(S, 7), entry(S, 5)}},
      {{ours}, {ours}, {ours}},
      {{}, {}, {}},
      {{}, {entry(1, 2), entry(S, 5), entry(S, 6)}, {entry(S, 5), entry(S, 6)}},
      {merging({entry(1, 2), entry(S, 5), entry(3, 4)}, ours),
       {entry(1, 2), entry(S, 5), entry(3, 4)},
       {entry(1, 2), entry(3, 4), entry(S, 5)}},
  };
  for (const auto &row : rows)
    EXPECT_EQ(restoring(row.current, ours, row.original), row.expected);
}

// Random lists over a small domain, so that sources collide, copies of ours
// recur, and entries lack the source key or carry extra keys.
KeyMappingEntry randomEntry(std::mt19937_64 &rng) {
  const std::int64_t sources[] = {S, 1, 2, 3};
  const std::int64_t destinations[] = {D, 4, 5};
  KeyMappingEntry e;
  if (rng() % 6 != 0)
    e[std::string(FnRemapMapping::srcKey)] = sources[rng() % 4];
  if (rng() % 6 != 0)
    e[std::string(FnRemapMapping::dstKey)] = destinations[rng() % 3];
  if (rng() % 5 == 0)
    e["extra"] = 0;
  return e;
}

KeyMappingList randomList(std::mt19937_64 &rng) {
  KeyMappingList list(rng() % 12);
  for (auto &e : list)
    e = randomEntry(rng);
  return list;
}

bool sameSourceAsOurs(const KeyMappingEntry &e, const KeyMappingEntry &ours) {
  const std::string key(FnRemapMapping::srcKey);
  const auto a = e.find(key), b = ours.find(key);
  if (a == e.end() || b == ours.end())
    return a == e.end() && b == ours.end();
  return a->second == b->second;
}

TEST(KeyMappingTest, ListRulesKeepTheirLawsOnRandomLists) {
  std::mt19937_64 rng(20261206);
  for (int trial = 0; trial < 5000; ++trial) {
    const KeyMappingList list = randomList(rng);
    const KeyMappingEntry mine = rng() % 8 ? entry(S, D) : randomEntry(rng);
    const auto differs = [&](const KeyMappingEntry &e) { return !sameSourceAsOurs(e, mine); };

    KeyMappingList others, sameSource;
    std::ranges::copy_if(list, std::back_inserter(others), differs);
    std::ranges::remove_copy_if(list, std::back_inserter(sameSource), differs);

    // Merging: the other sources in order, then ours exactly once.
    const auto merged = merging(list, mine);
    auto expectedMerge = others;
    expectedMerge.push_back(mine);
    ASSERT_EQ(merged, expectedMerge);
    ASSERT_EQ(merging(merged, mine), merged);

    // Merge then restore gives back every entry of the list: the other
    // sources first, then ours, each part in the list's order.
    auto expectedRestore = others;
    expectedRestore.insert(expectedRestore.end(), sameSource.begin(), sameSource.end());
    ASSERT_EQ(restoring(merged, mine, list), expectedRestore);

    // Restoring over any current list keeps every non-copy in order and
    // appends our source's entries from the original.
    const KeyMappingList current = randomList(rng);
    const auto restored = restoring(current, mine, list);
    KeyMappingList kept = current;
    std::erase(kept, mine);
    ASSERT_EQ(restored.size(), kept.size() + sameSource.size());
    ASSERT_TRUE(std::equal(kept.begin(), kept.end(), restored.begin()));
    ASSERT_TRUE(std::equal(sameSource.begin(), sameSource.end(),
                           restored.begin() + kept.size()));
  }
}

} // namespace
