// SPDX-License-Identifier: Apache-2.0
#include "FnRemapKit/FnGuard.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>
#include <variant>

using namespace FnRemapKit;
using FnRemapMapping::entry;

namespace {

using Answer = std::variant<std::optional<KeyMappingList>, std::exception_ptr>;

// A store whose every answer is scripted and which records its calls; all
// mutable, since the guard calls a const store.
struct ScriptedStore {
  mutable std::deque<Answer> reads;
  mutable std::deque<bool> writes;
  mutable std::string calls = {};
  mutable std::vector<KeyMappingList> written = {};

  std::optional<KeyMappingList> read() const {
    calls += "r";
    const Answer answer = reads.at(0);
    reads.pop_front();
    if (auto *error = std::get_if<std::exception_ptr>(&answer))
      std::rethrow_exception(*error);
    return std::get<0>(answer);
  }
  bool write(const KeyMappingList &list) const noexcept {
    calls += "w";
    written.push_back(list);
    const bool accepted = writes.at(0);
    writes.pop_front();
    return accepted;
  }
};

const KeyMappingEntry ours = entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);

TEST(RemoveOursTest, CallSequencesAndOutcomes) {
  const auto wider = KeyMappingEntry{{"third", 1}, {"HIDKeyboardModifierMappingSrc", FnRemapMapping::fnSource},
                                     {"HIDKeyboardModifierMappingDst", FnRemapMapping::fnDestination}};
  const auto otherDst = entry(FnRemapMapping::fnSource, 7);
  const KeyMappingList mixed = {entry(1, 2), ours, otherDst, ours, entry(3, 4)};
  const KeyMappingList without = {entry(1, 2), otherDst, entry(3, 4)};
  const auto shapeError = std::make_exception_ptr(KeyMappingError::unsupportedShape);
  const auto readFailed = [](std::string text) { return FnGuardOutcome::failed("could not read the current mapping: " + text); };
  const auto stillThere = FnGuardOutcome::failed("our entry was still there after the write");
  const auto removed = FnGuardOutcome::removed(), alreadyGone = FnGuardOutcome::alreadyGone();
  // Reads, writes, the outcome, the calls made and the lists written.
  using Case = std::tuple<std::deque<Answer>, std::deque<bool>, FnGuardOutcome, std::string, std::vector<KeyMappingList>>;
  const std::vector<Case> cases = {
      {{mixed, without}, {true}, removed, "rwr", {without}},
      {{KeyMappingList{ours}, KeyMappingList{}}, {true}, removed, "rwr", {{}}},
      {{KeyMappingList{wider, otherDst}}, {}, alreadyGone, "r", {}},
      {{std::nullopt}, {}, alreadyGone, "r", {}},
      {{KeyMappingList{}}, {}, alreadyGone, "r", {}},
      {{shapeError}, {}, readFailed("unsupportedShape"), "r", {}},
      {{std::make_exception_ptr(std::runtime_error("disk on fire"))}, {}, readFailed("disk on fire"), "r", {}},
      {{std::make_exception_ptr(42)}, {}, readFailed("unknown error"), "r", {}},
      {{mixed}, {false}, FnGuardOutcome::failed("the HID system refused the write"), "rw", {without}},
      {{mixed, shapeError}, {true}, stillThere, "rwr", {without}},
      {{mixed, std::nullopt}, {true}, stillThere, "rwr", {without}},
      {{mixed, KeyMappingList{entry(1, 2), ours}}, {true}, stillThere, "rwr", {without}},
  };
  for (const auto &[reads, writes, expected, calls, written] : cases) {
    SCOPED_TRACE(calls + " " + testing::PrintToString(expected));
    const ScriptedStore store{reads, writes};
    EXPECT_EQ(FnGuard::removeOurs(ours, store), expected);
    EXPECT_EQ(store.calls, calls);
    EXPECT_EQ(store.written, written);
  }
  EXPECT_EQ(testing::PrintToString(std::vector{removed, alreadyGone, stillThere}),
            "{ removed, alreadyGone, failed(our entry was still there after the write) }");
  // run waits once for the parent, before the first read; a wait that throws
  // counts as ended.
  const ScriptedStore store{{KeyMappingList{}}, {}};
  const auto wait = [&](std::int32_t pid) { store.calls += "W" + std::to_string(pid); throw 1; };
  EXPECT_EQ(FnGuard::run(FnGuardArguments(4242, ours), store, wait), alreadyGone);
  EXPECT_EQ(store.calls, "W4242r");
}

} // namespace
