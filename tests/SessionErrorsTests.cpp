// SPDX-License-Identifier: Apache-2.0
// The lines and codes a session's caller reads: the table they come from,
// the C header's enum held to it, and the words put together from it.
#include "SessionErrors.hpp"
#include "process/GuardLaunch.hpp"
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.h>
#include <FnRemapKit/KeyMappingStore.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <set>

using namespace FnRemapKit;
using namespace FnRemapKit::SessionErrors;

namespace {

// The header's enum, name by name and number by number, is the table's:
// a code added to one and not the other, or renumbered, fails here. The
// old C name stays, for the same code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
static_assert(FnRemapErrorMovedFrom == FnRemapErrorNoSession);
#pragma GCC diagnostic pop

TEST(SessionErrorsTest, TheCHeadersCodesAreTheTables) {
  std::ostringstream text;
  text << std::ifstream(FNREMAPKIT_C_HEADER).rdbuf();
  const std::string header = text.str();
  const auto start = header.find("FNREMAPKIT_ENUM(int32_t, FnRemapErrorCode) {"), end = header.find("};", start);
  ASSERT_NE(start, std::string::npos);
  ASSERT_NE(end, std::string::npos);
  const std::string body = header.substr(start, end - start);
  std::vector<std::pair<std::string, int>> inHeader, inTable;
  for (const auto &found : TestSupport::matches(body, "(^|[^A-Za-z0-9_])FnRemapError([A-Za-z0-9_]+) = ([0-9]+),"))
    inHeader.emplace_back(found[2], std::stoi(found[3]));
  for (int index = 0; const auto &row : codes)
    inTable.emplace_back(std::string(row.name), static_cast<int>(row.code) == index++ ? static_cast<int>(row.code) : -1);
  EXPECT_EQ(inHeader, inTable);
}

// Every message has one row; every code but none is some message's.
TEST(SessionErrorsTest, EveryMessageHasOneRowAndEveryCodeAMessage) {
  std::set<Message> seen;
  std::set<Code> coded;
  for (const auto &row : messages) {
    EXPECT_TRUE(seen.insert(row.message).second) << row.pattern;
    coded.insert(row.code);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(Message::fromEventHandler) + 1);
  EXPECT_EQ(coded.size() + 1, std::size(codes));
  EXPECT_FALSE(coded.contains(Code::none));
}

// The store's own error reads as a sentence; any other says what it says.
// (The lines and codes themselves are the end-to-end tests' to read, in
// SessionTests, SessionEdgesTests, SharingTests and MonitorTests.)
TEST(SessionErrorsTest, ReasonsReadAsSentences) {
  EXPECT_EQ(readReason(std::make_exception_ptr(KeyMappingError::unsupportedShape)), "the key mapping is malformed");
  EXPECT_EQ(readReason(std::make_exception_ptr(std::runtime_error("no client"))), "no client");
}

TEST(SessionErrorsTest, BoundsReadInSeconds) {
  using std::chrono::milliseconds;
  for (const auto &[bound, text] : std::vector<std::pair<milliseconds, std::string>>{
           {Process::readyBound, "20 s"}, {milliseconds{250}, "0.25 s"}, {milliseconds{100}, "0.1 s"},
           {milliseconds{1500}, "1.5 s"}, {milliseconds{5}, "0.005 s"}})
    EXPECT_EQ(Process::describeBound(bound), text);
}

} // namespace
