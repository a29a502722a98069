#include "FnRemapKit/FnGuardArguments.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <sstream>
#include <vector>

using namespace FnRemapKit;

namespace {

struct Row {
  std::vector<std::string_view> arguments; // after the program name
  std::optional<FnGuardArguments> expected;
};

FnGuardArguments value(std::int32_t parent, std::int64_t src, std::int64_t dst) {
  return {parent, FnRemapMapping::entry(src, dst)};
}

std::optional<FnGuardArguments> parse(std::vector<std::string_view> arguments,
                                      std::string_view program = "guard") {
  arguments.insert(arguments.begin(), program);
  return FnGuardArguments::parse(arguments);
}

const auto fnRow = value(4242, 1095216660483, 30064771182);
const std::nullopt_t rejected = std::nullopt;

TEST(FnGuardArgumentsTest, ParsesExactlyTheGrammar) {
  const std::vector<Row> rows = {
      {{"4242", "0xFF00000003", "0x70000006E"}, fnRow},
      {{"4242", "1095216660483", "30064771182"}, fnRow},
      {{"4242", "0XFF00000003", "0x70000006e"}, fnRow},
      {{"04242", "0x00ff00000003", "+30064771182"}, fnRow},
      {{"2", "0", "0"}, value(2, 0, 0)},
      {{"1", "3", "4"}, rejected},
      {{"0", "3", "4"}, rejected},
      {{"-4242", "3", "4"}, rejected},
      {{"-0", "3", "4"}, rejected},
      {{"+4242", "3", "4"}, value(4242, 3, 4)},
      {{"0004242", "3", "4"}, value(4242, 3, 4)},
      {{"2147483647", "3", "4"}, value(INT32_MAX, 3, 4)},
      {{"2147483648", "3", "4"}, rejected},
      {{"99999999999", "3", "4"}, rejected},
      {{"0x1092", "3", "4"}, rejected},
      {{"4242", "-1", "-0x1"}, rejected},
      {{"4242", "-1", "0x-1"}, value(4242, -1, -1)},
      {{"4242", "0x+10", "+16"}, value(4242, 16, 16)},
      {{"4242", "-0", "+0"}, value(4242, 0, 0)},
      {{"4242", "0x", "5"}, rejected},
      {{"4242", "0x-", "5"}, rejected},
      {{"4242", "+", "5"}, rejected},
      {{"4242", "-", "5"}, rejected},
      {{"4242", "+-1", "5"}, rejected},
      {{"4242", "0x0x1", "5"}, rejected},
      {{"4242", "0x1g", "5"}, rejected},
      {{"4242", "1e3", "5"}, rejected},
      {{"4242", "1.0", "5"}, rejected},
      {{"4242", "1_000", "5"}, rejected},
      {{"4242", "0b101", "5"}, rejected},
      {{"4242", "00x1", "5"}, rejected},
      {{"4242", "x1", "5"}, rejected},
      {{"4242", "0x7FFFFFFFFFFFFFFF", "9223372036854775807"},
       value(4242, INT64_MAX, INT64_MAX)},
      {{"4242", "0x-8000000000000000", "-9223372036854775808"},
       value(4242, INT64_MIN, INT64_MIN)},
      {{"4242", "0x8000000000000000", "5"}, rejected},
      {{"4242", "9223372036854775808", "5"}, rejected},
      {{"4242", "-9223372036854775809", "5"}, rejected},
      {{"4242", "0xFFFFFFFFFFFFFFFF", "5"}, rejected},
      {{"4242", "0x10000000000000000", "5"}, rejected},
      {{"4242", "7", "7"}, value(4242, 7, 7)},
      {{" 4242", "3", "4"}, rejected},
      {{"4242 ", "3", "4"}, rejected},
      {{"4242", "3\n", "4"}, rejected},
      {{"4242", "3", "\t4"}, rejected},
      {{"42 42", "3", "4"}, rejected},
      {{"4242", "\xd9\xa3", "4"}, rejected}, // ARABIC-INDIC DIGIT THREE
      {{std::string_view("42\0", 3), "3", "4"}, rejected},
      {{"", "3", "4"}, rejected},
      {{"4242", "", "4"}, rejected},
      {{"4242", "3", ""}, rejected},
      {{}, rejected},
      {{"4242", "3"}, rejected},
      {{"4242", "3", "4", "5"}, rejected},
  };
  for (const auto &row : rows) {
    std::ostringstream name;
    for (auto argument : row.arguments)
      name << '[' << argument << ']';
    SCOPED_TRACE(name.str());
    const auto parsed = parse(row.arguments);
    ASSERT_EQ(parsed.has_value(), row.expected.has_value());
    if (parsed) {
      EXPECT_EQ(parsed->parent(), row.expected->parent());
      EXPECT_EQ(parsed->entry(), row.expected->entry());
      EXPECT_EQ(parsed->entry().size(), 2u);
    }
  }
}

TEST(FnGuardArgumentsTest, ProgramNameIsNeverExamined) {
  for (auto program : {"", " ", "0x", "tarnwick-fn-guard", "\xff"})
    EXPECT_EQ(parse({"4242", "3", "4"}, program), value(4242, 3, 4));
  EXPECT_FALSE(FnGuardArguments::parse({}));
}

TEST(FnGuardArgumentsTest, EqualityFollowsParentAndEntryEquality) {
  EXPECT_EQ(value(1, 3, 4), value(1, 3, 4)); // the constructor checks nothing
  EXPECT_EQ(value(1, 3, 4).parent(), 1);
  EXPECT_NE(value(1, 3, 4), value(2, 3, 4));
  EXPECT_NE(value(1, 3, 4), value(1, 3, 5));
  auto wider = FnRemapMapping::entry(3, 4);
  wider["other"] = 0;
  EXPECT_NE(value(1, 3, 4), FnGuardArguments(1, wider));
}

TEST(FnGuardArgumentsTest, EveryUsageIsFormattedAsParseReadsIt) {
  std::mt19937_64 rng(4242);
  std::vector<std::int64_t> usages = {INT64_MIN, INT64_MIN + 1, -1, 0, 1, INT64_MAX, -26};
  for (int i = 0; i < 2000; ++i)
    usages.push_back(static_cast<std::int64_t>(rng() >> (rng() % 64)) * (rng() % 2 ? 1 : -1));
  for (const auto usage : usages) {
    const std::string text = FnGuardArguments::formatUsage(usage);
    EXPECT_EQ(parse({"2", text, text}), value(2, usage, usage)) << text;
  }
  EXPECT_EQ(FnGuardArguments::formatUsage(-26), "0x-1A");
  EXPECT_EQ(FnGuardArguments::formatUsage(FnRemapMapping::fnSource), "0xFF00000003");
}

TEST(FnGuardArgumentsTest, UsageLineIsExact) {
  EXPECT_EQ(FnGuardArguments::usage,
            "usage: tarnwick-fn-guard <parent-pid> <src-usage> <dst-usage>");
}

} // namespace
