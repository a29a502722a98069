// SPDX-License-Identifier: Apache-2.0
// The ledger of holds: its text against malformed texts and later
// versions' (what it reads is read back through the writer in SharingTest,
// and by the fuzzer), and the rules by which sessions share the list, run
// over random histories of applications that begin, end and are killed.
#include "FnRemapKit/KeyMappingLedger.hpp"
#include "ledger/Holds.hpp"
#include "ledger/LedgerFormat.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

using namespace FnRemapKit;
using FnRemapMapping::entry;
using FnRemapMapping::fnDestination;
using FnRemapMapping::fnSource;
using State = KeyMappingLedger::Loaded::State;

namespace {

TEST(LedgerFormatTest, TakesOnlyItsOwnShapeAndLeavesALaterVersionAlone) {
  const std::string hold = R"({"application": {"pid": 2, "start": 3}, "guard": {"pid": 4, "start": 5}, "boot": "b", "entry": {"k": -1}})";
  const auto ledger = [&](const std::string &holds, const std::string &displaced = "[]") {
    return R"({"version": 1, "holds": [)" + holds + R"(], "displaced": )" + displaced + "}";
  };
  ASSERT_EQ(Ledger::parse(ledger(hold)).holds.holds.size(), 1u);
  const auto with = [&](const std::string &from, const std::string &to) {
    std::string text = ledger(hold);
    return text.replace(text.find(from), from.size(), to);
  };
  std::string objects; // nested past any depth the stack could take
  for (int depth = 0; depth < 100000; ++depth)
    objects += "{\"a\": ";
  for (const auto &text : std::vector<std::string>{
           "", "{}", "[]", "null", ledger(hold) + "x", ledger(hold + ","), with("1,", "0,"), with("1,", "-1,"),
           with("1,", "1.0,"), with("1,", "1e0,"), with("1,", "01,"), with("1,", "\"1\","), with("1,", "02,"),
           with("1,", "-2,"), with("1,", "2.5,"), with("\"start\": 3", "\"pid\": 3"), with("-1}", "-1, \"k\": 1}"), R"({"holds": [], "version": 1, "displaced": []})",
           R"({"holds": "anything", "version": 2})", with("\"boot\": \"b\"", "\"boot\": 7"),
           with("\"boot\"", "\"bout\""), with(", \"boot\": \"b\"", ""), with("\"boot\": \"b\"", "\"boot\": \"b\", \"boot\": \"b\""),
           with("\"b\"", "\"\\u0041\""), with("\"b\"", "\"\\u000g\""), with("\"b\"", "\"\\n\""), with("\"b\"", "\"\x01\""), with("\"pid\": 2", "\"pid\": 2147483648"),
           with("\"start\": 3", "\"start\": -3"), with("-1}", "9223372036854775808}"), with("-1}", "[-1]}"),
           ledger("", R"([{"source": 1, "entries": []}, {"source": 1, "entries": []}])"),
           ledger("", R"([{"source": 1, "entries": [[]]}])"), std::string(100000, '['),
           with("\"holds\": [", "\"holds\": " + std::string(100000, '[')), with("-1}", objects),
           // Not UTF-8, in a key and in a value: cut short, overlong, a
           // surrogate, past U+10FFFF, a stray continuation.
           with("\"k\"", "\"\xc3\""), with("\"k\"", "\"\xc0\xaf\""), with("\"k\"", "\"\xed\xa0\x80\""),
           with("\"k\"", "\"\xf4\x90\x80\x80\""), with("\"k\"", "\"\xe2\x82\""), with("\"k\"", "\"\xf0k\""), with("\"b\"", "\"\xff\""),
           with("\"b\"", "\"\x80\""), ledger("", R"([{"source": 1, "entries": [{"\xe0\x80\x80": 1}]}])")})
    EXPECT_EQ(Ledger::parse(text).state, State::damaged) << text;

  // A later version is known by its start alone: what version 1 does not
  // write (fields, values, escapes, bytes), its own size, or nothing at all.
  const std::string later = R"({"version": 2, "holds": [], "displaced": []})";
  for (const auto &text : std::vector<std::string>{
           R"({"version": 2, "suspended": false, "holds": [], "displaced": []})", R"({"version": 2, "x": [true, null, 1.5e3]})",
           R"({"version": 2, "boot": "\n\u00e9\ud83d\ude00"})", " {\n \"version\" :\t3}", R"({"version": 2)",
           R"({"version": 99999999999999999999999, "holds": 7})", "{\"version\": 2, \"\xff\": 1}", later + "]]garbage",
           R"({"version": 2, "holds": )" + std::string(100000, '['), later + std::string(2 * Ledger::maximumSize, ' ')})
    EXPECT_EQ(Ledger::parse(text).state, State::newer) << text.substr(0, 80);

  // Version 1 up to 1 MiB, and not a byte more.
  std::string full = ledger(hold);
  full.insert(full.size() - 1, Ledger::maximumSize - full.size(), ' ');
  EXPECT_EQ(Ledger::parse(full).state, State::read);
  EXPECT_EQ(Ledger::parse(full.insert(full.size() - 1, " ")).state, State::damaged);
}

// --- The rules over random histories ----------------------------------------

// Applications 1..4 in a world of our own: each begins (with the Fn remap,
// or another key's), ends, or is killed (its guard then runs, unless it
// was killed too, or died between its list and its ledger; a later repair
// makes up for it). Meanwhile the user sets their own Fn entry again, and
// writes made without the lock take out the remaps, which the next guard
// to wake puts back. The user's own entries are there from the start, one
// of them for Fn.
struct Machine {
  std::set<std::int32_t> running;
  Holds::World world{[this](const ProcessIdentity &p) { return running.contains(p.pid); }, "boot", true};
  Holds::Plan plan{{entry(fnSource, 0x700000068), entry(1, 2)}, {}};

  static KeyMappingHold holdOf(std::int32_t app, const KeyMappingEntry &remap) {
    return {{app, 7}, {app + 100, 7}, "boot", remap};
  }
  // begin(): the repair, the conflict check, the hold, the list.
  bool begin(std::int32_t app, const KeyMappingEntry &remap) {
    running.insert(app);
    Holds::release(plan, world);
    if (Holds::conflicting(plan.ledger, world, remap))
      return false;
    Holds::addHold(plan, holdOf(app, remap));
    plan.list = Holds::installing(plan, world, holdOf(app, remap));
    return true;
  }
  // end(), or the guard of an application that is gone: its own hold. The
  // application whose live hold keeps the remap; 0 when none does.
  std::int32_t release(std::int32_t app, const KeyMappingEntry &remap) {
    return Holds::release(plan, world, [&](const KeyMappingHold &h) { return h == holdOf(app, remap); }, &remap);
  }
};

TEST(HoldsRulesTest, KeepEveryLiveRemapAndGiveBackTheUsersListOnce) {
  std::mt19937_64 rng(7);
  const std::vector<KeyMappingEntry> remaps = {entry(fnSource, fnDestination), entry(fnSource, fnDestination),
                                               entry(3, 4), entry(fnSource, 0x70000006D)};
  const auto users = Machine().plan.list;
  for (int trial = 0; trial < 3000; ++trial) {
    Machine machine;
    auto &list = machine.plan.list;
    std::map<std::int32_t, KeyMappingEntry> holding;
    for (int step = 0; step < 12; ++step) {
      const std::int32_t app = static_cast<std::int32_t>(rng() % 4) + 1;
      if (!holding.contains(app)) {
        const auto &remap = remaps[rng() % remaps.size()];
        if (machine.begin(app, remap))
          holding[app] = remap;
        else
          machine.running.erase(app);
      } else {
        const auto how = rng() % 4; // end, killed, killed with its guard, list written but not the ledger
        const auto ledger = machine.plan.ledger;
        machine.running.erase(app);
        if (how != 2)
          machine.release(app, holding[app]);
        if (how == 3)
          machine.plan.ledger = ledger;
        holding.erase(app);
      }
      if (rng() % 8 == 0 && std::ranges::find(list, users[0]) == list.end())
        list.push_back(users[0]); // set again by the user: beside a held remap, what they want now
      if (rng() % 8 == 0) {
        std::erase_if(list, [&](const auto &e) { return std::ranges::find(remaps, e) != remaps.end(); });
        Holds::restoreLive(machine.plan, machine.world, {});
      }
      for (const auto &[holder, remap] : holding)
        ASSERT_NE(std::ranges::find(list, remap), list.end())
            << "application " << holder << "'s remap went while it ran, step " << step << ", trial " << trial;
    }
    for (auto &[app, remap] : holding) {
      machine.running.erase(app);
      machine.release(app, remap);
    }
    Holds::release(machine.plan, machine.world); // the next session's repair
    ASSERT_TRUE(std::ranges::is_permutation(list, users)) << testing::PrintToString(list) << ", trial " << trial;
    ASSERT_EQ(machine.plan.ledger, KeyMappingHolds{});
  }
}

// Rows the random histories do not reach: the user replaced both theirs
// and ours while held. What a later install drops is what they want now,
// not the entry they replaced. (And a release says whose hold kept ours.)
TEST(HoldsRulesTest, PutBackWhatTheUserWantsNow) {
  const auto ours = entry(fnSource, fnDestination), replaced = entry(fnSource, 0x700000069);
  Machine machine;
  ASSERT_TRUE(machine.begin(1, ours));
  machine.plan.list = {entry(1, 2), replaced};
  ASSERT_TRUE(machine.begin(2, ours));
  EXPECT_EQ(machine.release(1, ours), 2);
  EXPECT_EQ(machine.release(2, ours), 0);
  EXPECT_EQ(machine.plan.list, (KeyMappingList{entry(1, 2), replaced}));
  // A new Fn entry of the user's beside ours stays, and the one ours
  // displaced does not come back over it.
  Machine beside;
  ASSERT_TRUE(beside.begin(1, ours));
  beside.plan.list.push_back(replaced);
  EXPECT_EQ(beside.release(1, ours), 0);
  EXPECT_EQ(beside.plan.list, (KeyMappingList{entry(1, 2), replaced}));
  EXPECT_TRUE(beside.plan.ledger.displaced.empty());
}

} // namespace
