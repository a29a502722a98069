// SPDX-License-Identifier: Apache-2.0
#include "FnRemapKit/FnGuardArguments.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace FnRemapKit;

namespace {

FnGuardArguments value(std::int32_t parent, std::int64_t src, std::int64_t dst) {
  return {parent, FnRemapMapping::entry(src, dst)};
}

std::optional<FnGuardArguments> parse(std::vector<std::string_view> arguments, std::string_view program = "guard") {
  arguments.insert(arguments.begin(), program);
  return FnGuardArguments::parse(arguments);
}

TEST(FnGuardArgumentsTest, ParsesExactlyTheGrammar) {
  const auto fn = value(4242, 1095216660483, 30064771182);
  const std::vector<std::pair<std::vector<std::string_view>, FnGuardArguments>> rows = {
      {{"4242", "0xFF00000003", "0x70000006E"}, fn},
      {{"4242", "1095216660483", "30064771182"}, fn},
      {{"4242", "0xFF0100000003", "0x70000006E"}, value(4242, FnRemapMapping::fnVendorKeyboardSource, 30064771182)},
      {{"04242", "0X00fF00000003", "+30064771182"}, fn},
      {{"2", "0", "0"}, value(2, 0, 0)},
      {{"+4242", "0xAa", "0xaA"}, value(4242, 170, 170)},
      {{"2147483647", "0x-1", "-1"}, value(INT32_MAX, -1, -1)},
      {{"4242", "0x+10", "-0"}, value(4242, 16, 0)},
      {{"4242", "0x7FFFFFFFFFFFFFFF", "9223372036854775807"}, value(4242, INT64_MAX, INT64_MAX)},
      {{"4242", "0x-8000000000000000", "-9223372036854775808"}, value(4242, INT64_MIN, INT64_MIN)},
  };
  for (const auto &[arguments, expected] : rows)
    EXPECT_EQ(parse(arguments), expected) << arguments[1] << " " << arguments[2];
  // Each of these is refused as the pid; each of the next as either usage.
  for (std::string_view pid : std::initializer_list<std::string_view>{
           "1", "0", "-4242", "-0", "2147483648", "99999999999", "0x1092", " 4242", "4242 ", "", {"42\0", 3}})
    EXPECT_EQ(parse({pid, "3", "4"}), std::nullopt) << "[" << pid << "]";
  // ':' and '@' lie just past '9' and just before 'A'; the last is an
  // ARABIC-INDIC DIGIT THREE.
  for (std::string_view usage : {"", "-0x1", "0x", "0x-", "+", "+-1", "0x0x1", "0x1g", "0x1:", "0x@", "1a", "1:", "1e3",
                                 "1.0", "0b101", "00x1", "3\n", "\t4", "0x8000000000000000", "9223372036854775808",
                                 "-9223372036854775809", "0xFFFFFFFFFFFFFFFF", "\xd9\xa3"})
    EXPECT_TRUE(!parse({"4242", usage, "5"}) && !parse({"4242", "5", usage})) << "[" << usage << "]";
  for (auto program : {"", "0x", "\xff"})
    EXPECT_EQ(parse({"4242", "3", "4"}, program), value(4242, 3, 4)) << "the program name is never examined";
}

TEST(FnGuardArgumentsTest, EveryUsageIsFormattedAsParseReadsIt) {
  std::mt19937_64 rng(4242);
  std::vector<std::int64_t> usages = {INT64_MIN, INT64_MIN + 1, -1, 0, 1, INT64_MAX};
  for (int i = 0; i < 2000; ++i)
    usages.push_back(static_cast<std::int64_t>(rng() >> (rng() % 64)) * (rng() % 2 ? 1 : -1));
  for (const auto usage : usages)
    EXPECT_EQ(parse({"2", FnGuardArguments::formatUsage(usage), FnGuardArguments::formatUsage(usage)}),
              value(2, usage, usage)) << usage;
  EXPECT_EQ(FnGuardArguments::formatUsage(-26), "0x-1A");
}

} // namespace
