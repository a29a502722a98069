// SPDX-License-Identifier: Apache-2.0
// The lines and codes a session's caller reads: the table they come from,
// the C header's enum held to it, and the words put together from it.
#include "SessionErrors.hpp"
#include "process/GuardLaunch.hpp"

#include <FnRemapKit/FnRemapKit.h>
#include <FnRemapKit/KeyMappingStore.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
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
  const std::regex enumerator(R"(\bFnRemapError(\w+) = (\d+),)");
  std::vector<std::pair<std::string, int>> inHeader, inTable;
  for (auto it = std::sregex_iterator(body.begin(), body.end(), enumerator); it != std::sregex_iterator(); ++it)
    inHeader.emplace_back((*it)[1], std::stoi((*it)[2]));
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

TEST(SessionErrorsTest, LinesAreTheirPatternsWithTheirParts) {
  struct Row {
    Message message;
    std::vector<std::string> parts;
    Code code;
    std::string line;
  };
  for (const auto &row : std::vector<Row>{
           {Message::cannotStart, {"/g", "No such file"}, Code::guardNotStarted, "cannot start the guard at /g: No such file"},
           {Message::exitedEarly, {"/g", ""}, Code::guardNotWatching, "the guard at /g exited before it was watching"},
           {Message::silent, {"/g", "20 s"}, Code::guardNotWatching,
            "the guard at /g did not report that it was watching within 20 s"},
           {Message::remappedByOther, {"0xFF00000003", "42"}, Code::keyRemappedByOther,
            "the key 0xFF00000003 is remapped by process 42"},
           {Message::locked, {}, Code::locked, "the key mapping is locked by another process"},
           {Message::fromEventHandler, {}, Code::calledFromEventHandler, "called from the session's own event handler"}}) {
    const std::vector<std::string_view> views(row.parts.begin(), row.parts.end());
    const auto error = views.size() == 2 ? SessionErrors::error(row.message, {views[0], views[1]})
                                         : SessionErrors::error(row.message);
    EXPECT_EQ(error.what(), row.line);
    EXPECT_EQ(error.code(), row.code) << row.line;
  }
}

// The store's own error reads as a sentence; any other says what it says.
// A lock refused keeps its whole line, once.
TEST(SessionErrorsTest, ReasonsReadAsSentences) {
  EXPECT_EQ(readReason(std::make_exception_ptr(KeyMappingError::unsupportedShape)),
            "the key mapping is malformed");
  EXPECT_EQ(readReason(std::make_exception_ptr(std::runtime_error("no client"))), "no client");
  for (const auto &[busy, why, code, line] : std::vector<std::tuple<bool, std::string, Code, std::string>>{
           {true, "the key mapping is locked by another process", Code::locked, "the key mapping is locked by another process"},
           {false, "cannot lock the key mapping: /l is a symbolic link", Code::lockRefused,
            "cannot lock the key mapping: /l is a symbolic link"}}) {
    const auto ending = lockFailure(busy, why);
    EXPECT_FALSE(ending.restored);
    EXPECT_EQ(ending.code, code);
    EXPECT_EQ(ending.message, line);
  }
}

TEST(SessionErrorsTest, BoundsReadInSeconds) {
  using std::chrono::milliseconds;
  for (const auto &[bound, text] : std::vector<std::pair<milliseconds, std::string>>{
           {Process::readyBound, "20 s"}, {milliseconds{250}, "0.25 s"}, {milliseconds{100}, "0.1 s"},
           {milliseconds{1500}, "1.5 s"}, {milliseconds{5}, "0.005 s"}})
    EXPECT_EQ(Process::describeBound(bound), text);
}

} // namespace
