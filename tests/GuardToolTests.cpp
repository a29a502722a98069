// SPDX-License-Identifier: Apache-2.0
// The real tarnwick-fn-guard's command line. What ends its wait, and what it
// then says, are StopSignalsTests.cpp's; the removal after a killed parent
// run through the reference applications, ParentAppTests.cpp's.
#include "support/TestSupport.hpp"

using namespace TestSupport;

namespace {

using GuardToolTest = KeyMappingTest;

TEST_F(GuardToolTest, RefusesABadCommandLineWithTheUsageLine) {
  for (const auto &row : {std::vector<std::string>{"tarnwick-fn-guard"}, {"tarnwick-fn-guard", "4242", "0xFF00000003"},
                          {"tarnwick-fn-guard", "2", "3", "4", "5"}, {"tarnwick-fn-guard", "1", "3", "4"}}) {
    ToolProcess guard(FNGUARD_TOOL, row, root);
    EXPECT_EQ(guard.wait(), 64);
    EXPECT_EQ(guard.standardError(), "usage: tarnwick-fn-guard <parent-pid> <src-usage> <dst-usage>\n");
    EXPECT_EQ(guard.standardOutput(), "");
  }
}

} // namespace
