#include "FnRemapKit/FnGuard.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <stdexcept>
#include <variant>

using namespace FnRemapKit;
using FnRemapMapping::entry;

namespace {

// A store whose every answer is scripted and which records its calls. The
// script lives behind a pointer, since the guard calls a const store.
struct Script {
  using Answer = std::variant<KeyMappingList, std::nullopt_t, std::exception_ptr>;
  std::deque<Answer> reads;
  std::deque<bool> writes;
  std::string calls;
  std::vector<KeyMappingList> written;
};

struct ScriptedStore {
  std::shared_ptr<Script> script;

  std::optional<KeyMappingList> read() const {
    script->calls += "r";
    const Script::Answer answer = script->reads.at(0);
    script->reads.pop_front();
    if (auto *error = std::get_if<std::exception_ptr>(&answer))
      std::rethrow_exception(*error);
    if (auto *list = std::get_if<KeyMappingList>(&answer))
      return *list;
    return std::nullopt;
  }
  bool write(const KeyMappingList &list) const noexcept {
    script->calls += "w";
    script->written.push_back(list);
    const bool accepted = script->writes.front();
    script->writes.pop_front();
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
  struct Case {
    std::deque<Script::Answer> reads;
    std::deque<bool> writes;
    FnGuardOutcome expected;
    std::string calls;
    std::vector<KeyMappingList> written;
  };
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
  for (const auto &c : cases) {
    SCOPED_TRACE(c.calls + " " + testing::PrintToString(c.expected));
    const auto script = std::make_shared<Script>(Script{c.reads, c.writes, {}, {}});
    EXPECT_EQ(FnGuard::removeOurs(ours, ScriptedStore{script}), c.expected);
    EXPECT_EQ(script->calls, c.calls);
    EXPECT_EQ(script->written, c.written);
  }
  EXPECT_EQ(testing::PrintToString(std::vector{removed, alreadyGone, stillThere}),
            "{ removed, alreadyGone, failed(our entry was still there after the write) }");
}

TEST(RemoveOursTest, RunWaitsOnceForTheParentBeforeTheFirstRead) {
  const auto script = std::make_shared<Script>(Script{{KeyMappingList{ours}, KeyMappingList{}}, {true}, {}, {}});
  const auto outcome = FnGuard::run(FnGuardArguments(4242, ours), ScriptedStore{script}, [&](std::int32_t pid) {
    script->calls += "W" + std::to_string(pid);
  });
  EXPECT_EQ(outcome, FnGuardOutcome::removed());
  EXPECT_EQ(script->calls, "W4242rwr");
  // A wait that throws counts as ended.
  script->reads = {std::nullopt};
  EXPECT_EQ(FnGuard::run(FnGuardArguments(2, ours), ScriptedStore{script}, [](std::int32_t) { throw 1; }),
            FnGuardOutcome::alreadyGone());
}

} // namespace
