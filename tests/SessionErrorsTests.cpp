// SPDX-License-Identifier: Apache-2.0
// The lines and codes a session's caller reads: the table they come from,
// the C header's enum held to it, and the words put together from it.
#include "SessionErrors.hpp"
#include "process/GuardLaunch.hpp"
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.h>
#include <FnRemapKit/KeyMappingStore.hpp>

#include <set>

using namespace FnRemapKit;
using namespace FnRemapKit::SessionErrors;
using namespace std::chrono_literals;

namespace {

// The header's enum, name by name and number by number, is the table's:
// a code added to one and not the other, or renumbered, fails here. The
// old C name stays, for the same code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
static_assert(FnRemapErrorMovedFrom == FnRemapErrorNoSession);
#pragma GCC diagnostic pop

TEST(SessionErrorsTest, TheCHeadersCodesAreTheTables) {
  const std::string header = TestSupport::readFile(FNREMAPKIT_C_HEADER);
  const auto start = header.find("FNREMAPKIT_ENUM(int32_t, FnRemapErrorCode) {");
  ASSERT_NE(start, std::string::npos);
  std::vector<std::pair<std::string, int>> inHeader, inTable;
  for (const auto &found : TestSupport::matches(header.substr(start, header.find("};", start) - start),
                                                "(^|[^A-Za-z0-9_])FnRemapError([A-Za-z0-9_]+) = ([0-9]+),"))
    inHeader.emplace_back(found[2], std::stoi(found[3]));
  for (int index = 0; const auto &row : codes)
    inTable.emplace_back(std::string(row.name), static_cast<int>(row.code) == index++ ? static_cast<int>(row.code) : -1);
  EXPECT_EQ(inHeader, inTable);
}

// Every message has one row (a message without one would read as another's
// line); every code but none is some message's.
TEST(SessionErrorsTest, EveryMessageHasOneRowAndEveryCodeAMessage) {
  std::set<Message> seen;
  std::set<Code> coded = {Code::none};
  for (const auto &row : messages) {
    EXPECT_TRUE(seen.insert(row.message).second && row.code != Code::none) << row.pattern;
    coded.insert(row.code);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(Message::fromEventHandler) + 1);
  EXPECT_EQ(coded.size(), std::size(codes));
}

// The store's own error reads as a sentence, any other says what it says;
// a bound reads in seconds. (The lines and codes themselves are the
// end-to-end tests' to read, in SessionTests, SessionEdgesTests,
// SharingTests and MonitorTests.)
TEST(SessionErrorsTest, ReasonsAndBoundsReadAsWords) {
  EXPECT_EQ(readReason(std::make_exception_ptr(KeyMappingError::unsupportedShape)), "the key mapping is malformed");
  EXPECT_EQ(readReason(std::make_exception_ptr(std::runtime_error("no client"))), "no client");
  for (const auto &[bound, text] : std::vector<std::pair<std::chrono::milliseconds, std::string>>{
           {Process::readyBound, "20 s"}, {250ms, "0.25 s"}, {100ms, "0.1 s"}, {1500ms, "1.5 s"}, {5ms, "0.005 s"}})
    EXPECT_EQ(Process::describeBound(bound), text);
}

// Whatever a step throws reaches the caller as a code and a sentence: a
// session's error as it is, another exception with the code the step
// gives, anything else as unknown.
TEST(SessionErrorsTest, AnyExceptionBecomesACodeAndASentence) {
  const auto caught = [](std::exception_ptr thrown) {
    try {
      std::rethrow_exception(thrown);
    } catch (...) {
      const auto ending = failure(Code::writeRefused);
      return std::tuple(ending.restored, ending.message, ending.code);
    }
  };
  EXPECT_EQ(caught(std::make_exception_ptr(FnRemapSessionError(Code::locked, "locked"))),
            std::tuple(false, "locked", Code::locked));
  EXPECT_EQ(caught(std::make_exception_ptr(std::bad_alloc())), std::tuple(false, "std::bad_alloc", Code::writeRefused));
  EXPECT_EQ(caught(std::make_exception_ptr(42)), std::tuple(false, "unknown error", Code::writeRefused));
}

} // namespace
