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
class ScriptedStore {
public:
  using Answer = std::variant<KeyMappingList, std::nullopt_t, std::exception_ptr>;
  struct Script {
    std::deque<Answer> reads;
    std::deque<bool> writes;
    std::string calls;
    std::vector<KeyMappingList> written;
  };

  explicit ScriptedStore(std::shared_ptr<Script> script) : script(std::move(script)) {}

  std::optional<KeyMappingList> read() const {
    script->calls += "r";
    if (script->reads.empty())
      throw std::logic_error("unscripted read");
    Answer answer = script->reads.front();
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
    if (script->writes.empty())
      return false;
    const bool accepted = script->writes.front();
    script->writes.pop_front();
    return accepted;
  }

private:
  std::shared_ptr<Script> script;
};
static_assert(KeyMappingStore<ScriptedStore>);

const KeyMappingEntry ours = entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
const auto shapeError = std::make_exception_ptr(KeyMappingError::unsupportedShape);

struct Case {
  const char *name;
  std::vector<ScriptedStore::Answer> reads;
  std::vector<bool> writes;
  FnGuardOutcome expected;
  std::string calls;
  std::optional<KeyMappingList> written;
};

TEST(RemoveOursTest, CallSequencesAndOutcomes) {
  auto wider = ours;
  wider["third"] = 1;
  const auto otherDst = entry(FnRemapMapping::fnSource, 7);
  const KeyMappingList mixed = {entry(1, 2), ours, otherDst, ours, entry(3, 4)};
  const KeyMappingList mixedWithout = {entry(1, 2), otherDst, entry(3, 4)};
  const auto readFailed = [](std::string text) {
    return FnGuardOutcome::failed("could not read the current mapping: " + text);
  };
  const auto stillThere = FnGuardOutcome::failed("our entry was still there after the write");

  const std::vector<Case> cases = {
      {"every copy goes, the rest keep their order", {mixed, mixedWithout}, {true},
       FnGuardOutcome::removed(), "rwr", mixedWithout},
      {"only entry: the empty list is written", {KeyMappingList{ours}, KeyMappingList{}},
       {true}, FnGuardOutcome::removed(), "rwr", KeyMappingList{}},
      {"a wider entry is not ours", {KeyMappingList{wider, otherDst}}, {},
       FnGuardOutcome::alreadyGone(), "r", {}},
      {"no list at all", {std::nullopt}, {}, FnGuardOutcome::alreadyGone(), "r", {}},
      {"empty list", {KeyMappingList{}}, {}, FnGuardOutcome::alreadyGone(), "r", {}},
      {"shape error on the first read", {shapeError}, {}, readFailed("unsupportedShape"), "r", {}},
      {"other error on the first read",
       {std::make_exception_ptr(std::runtime_error("disk on fire"))}, {},
       readFailed("disk on fire"), "r", {}},
      {"non-standard exception on the first read", {std::make_exception_ptr(42)}, {},
       readFailed("unknown error"), "r", {}},
      {"refused write, no verifying read", {mixed}, {false},
       FnGuardOutcome::failed("the HID system refused the write"), "rw", mixedWithout},
      {"verifying read throws", {mixed, shapeError}, {true}, stillThere, "rwr", mixedWithout},
      {"verifying read finds no list", {mixed, std::nullopt}, {true}, stillThere, "rwr",
       mixedWithout},
      {"entry back after the write", {mixed, KeyMappingList{entry(1, 2), ours}}, {true},
       stillThere, "rwr", mixedWithout},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto script = std::make_shared<ScriptedStore::Script>();
    script->reads.assign(c.reads.begin(), c.reads.end());
    script->writes.assign(c.writes.begin(), c.writes.end());
    EXPECT_EQ(FnGuard::removeOurs(ours, ScriptedStore(script)), c.expected);
    EXPECT_EQ(script->calls, c.calls);
    if (c.written) {
      ASSERT_EQ(script->written.size(), 1u);
      EXPECT_EQ(script->written.front(), *c.written);
    }
  }
}

TEST(RemoveOursTest, RunWaitsOnceForTheParentBeforeTheFirstRead) {
  auto script = std::make_shared<ScriptedStore::Script>();
  script->reads = {KeyMappingList{ours}, KeyMappingList{}};
  script->writes = {true};
  std::vector<std::int32_t> waited;
  const FnGuardArguments arguments(4242, ours);
  const auto outcome = FnGuard::run(arguments, ScriptedStore(script), [&](std::int32_t pid) {
    waited.push_back(pid);
    script->calls += "W";
  });
  EXPECT_EQ(outcome, FnGuardOutcome::removed());
  EXPECT_EQ(waited, std::vector<std::int32_t>{4242});
  EXPECT_EQ(script->calls, "Wrwr");
}

TEST(RemoveOursTest, RunGoesOnWhenTheWaitThrows) {
  auto script = std::make_shared<ScriptedStore::Script>();
  script->reads = {std::nullopt};
  const auto outcome = FnGuard::run(FnGuardArguments(2, ours), ScriptedStore(script),
                                    [](std::int32_t) { throw std::runtime_error("no"); });
  EXPECT_EQ(outcome, FnGuardOutcome::alreadyGone());
  EXPECT_EQ(script->calls, "r");
}

TEST(KeyMappingErrorTest, OneValueEqualHashedAndNamed) {
  const KeyMappingError copy = KeyMappingError::unsupportedShape;
  EXPECT_EQ(copy, KeyMappingError::unsupportedShape);
  EXPECT_EQ(std::hash<KeyMappingError>{}(copy),
            std::hash<KeyMappingError>{}(KeyMappingError::unsupportedShape));
  EXPECT_STREQ(copy.what(), "unsupportedShape");
  const std::exception &asBase = copy;
  EXPECT_STREQ(asBase.what(), "unsupportedShape");
}

TEST(FnGuardOutcomeTest, EqualityAndReadableForm) {
  EXPECT_EQ(FnGuardOutcome::failed("a"), FnGuardOutcome::failed("a"));
  EXPECT_NE(FnGuardOutcome::failed("a"), FnGuardOutcome::failed("b"));
  EXPECT_NE(FnGuardOutcome::failed(""), FnGuardOutcome::removed());
  EXPECT_NE(FnGuardOutcome::removed(), FnGuardOutcome::alreadyGone());
  EXPECT_EQ(testing::PrintToString(FnGuardOutcome::failed("why")), "failed(why)");
  EXPECT_EQ(testing::PrintToString(FnGuardOutcome::alreadyGone()), "alreadyGone");
}

} // namespace
