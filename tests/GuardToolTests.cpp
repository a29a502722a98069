// The real tarnwick-fn-guard with real parents, against the stand-in, or on
// a Mac that allows it the real HID event system. The removal after a killed
// parent is run through the reference applications (SessionTests.cpp).
#include "support/KeyMappingHome.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include <gtest/gtest.h>

#include <regex>

using namespace FnRemapKit;
using namespace TestSupport;
using namespace std::chrono_literals;
using FnRemapMapping::entry;

namespace {

// Ours between a neighbour and an entry of other keys; the command line uses
// the hexadecimal and decimal forms of the Fn remap's usages.
const KeyMappingList before = {entry(30064771129, 30064771296),
                               entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination),
                               {{"Other", INT64_MIN}}};
const KeyMappingList after = {before[0], before[2]};

std::vector<std::string> guardArguments(pid_t parent) {
  return {"tarnwick-fn-guard", std::to_string(parent), "0xFF00000003", "30064771182"};
}

class GuardToolTest : public testing::Test {
protected:
  void SetUp() override {
    if (const auto why = home.unavailable(); !why.empty())
      GTEST_SKIP() << why;
    ASSERT_TRUE(store.write(before));
  }
  KeyMappingHome home;
  HIDKeyMappingStore store;
};

TEST_F(GuardToolTest, SigtermOrSigintWhileWaitingEndsItWithNoChange) {
  // Started with both ignored or both blocked, as a careless parent might
  // leave them.
  sigset_t both;
  sigemptyset(&both);
  sigaddset(&both, SIGTERM);
  sigaddset(&both, SIGINT);
  const auto ignore = [] { ::signal(SIGTERM, SIG_IGN); ::signal(SIGINT, SIG_IGN); };
  const auto block = [&] { sigprocmask(SIG_BLOCK, &both, nullptr); };
  for (const auto &[beforeExec, signal] : std::vector<std::pair<std::function<void()>, int>>{
           {ignore, SIGTERM}, {ignore, SIGINT}, {block, SIGTERM}, {block, SIGINT}}) {
    Child parent(sleepForever);
    ToolProcess guard(FNGUARD_TOOL, guardArguments(parent.pid()), home.root, beforeExec);
    awaitWatching(guard.pid());
    ::kill(guard.pid(), signal);
    EXPECT_EQ(exitStatus(guard.statusWithin(10s)), 128 + signal);
  }
  EXPECT_EQ(store.read(), before);
}

TEST(GuardToolCommandLineTest, RefusesABadOneWithTheUsageLine) {
  KeyMappingHome outputs;
  for (const auto &row : {std::vector<std::string>{"tarnwick-fn-guard"},
                                             {"tarnwick-fn-guard", "4242", "0xFF00000003"},
                                             {"tarnwick-fn-guard", "2", "3", "4", "5"},
                                             {"tarnwick-fn-guard", "1", "3", "4"}}) {
    ToolProcess guard(FNGUARD_TOOL, row, outputs.root);
    EXPECT_EQ(exitStatus(guard.statusWithin(10s)), 64);
    EXPECT_EQ(guard.standardError(), "usage: tarnwick-fn-guard <parent-pid> <src-usage> <dst-usage>\n");
    EXPECT_EQ(guard.standardOutput(), "");
  }
}

#if !defined(__APPLE__)
// A parent that has exited and been reaped.
pid_t goneParent() {
  Child parent([] {});
  parent.statusWithin(5s);
  return parent.pid();
}

// The stand-in's file itself: whether the guard wrote it at all.
std::pair<ino_t, std::string> identity(const KeyMappingHome &home) {
  struct stat s {};
  EXPECT_EQ(::stat(home.file().c_str(), &s), 0);
  return {s.st_ino, home.contents()};
}

TEST_F(GuardToolTest, WithTheParentGone) {
  const std::string withOurs = home.contents();
  struct Row {
    const char *name;
    std::string contents;
    std::function<void()> beforeExec;
    int status;
    bool removed;
  };
  const std::vector<Row> rows = {
      {"entry there", withOurs, {}, 0, true},
      {"entry already gone", "[]", {}, 0, false},
      {"an integer beyond 64 bits beside our entry", withOurs.substr(0, withOurs.rfind('{')) + R"({"Other":-9223372036854775809}])",
       {}, 1, false},
      {"no state directory configured", withOurs, [] {
         ::unsetenv("TARNWICK_HID_STATE_DIR");
         ::unsetenv("XDG_RUNTIME_DIR");
       }, 1, false},
      {"a temporary left by a dead writer with the guard's pid", withOurs, [this] {
         std::ofstream(home.path / (".UserKeyMapping.json." + std::to_string(::getpid()) + ".0"));
       }, 0, true},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    home.put(row.contents);
    const auto untouched = identity(home);
    ToolProcess guard(FNGUARD_TOOL, guardArguments(goneParent()), home.root, row.beforeExec);
    EXPECT_EQ(exitStatus(guard.statusWithin(10s)), row.status);
    if (row.removed)
      EXPECT_EQ(store.read(), after);
    else
      EXPECT_EQ(identity(home), untouched);
  }
}

// One record for each outcome, none when ended while waiting, as syslog
// receives it: facility user (8) plus the level, the identifier, the guard's
// pid. The demo's reaper catches the records on a private /dev/log.
TEST_F(GuardToolTest, WritesOneRecordOfItsOutcome) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to give the guard a private /dev/log (unshare, mount)";
  const std::string withOurs = home.contents();
  const std::vector<std::tuple<std::string, bool, int, std::string>> rows = {
      {withOurs, true, 8 + 5, "parent %d exited, removed the fn remap"},
      {"[]", false, 8 + 5, "parent %d exited, fn remap already restored"},
      {"[{", false, 8 + 3, "parent %d exited, fn remap not removed: could not read the current mapping: unsupportedShape"},
      {withOurs, true, 0, ""}, // SIGTERM while waiting
  };
  for (const auto &[contents, waits, priority, text] : rows) {
    home.put(contents);
    Child parent(sleepForever);
    const pid_t parentPid = waits ? parent.pid() : goneParent();
    auto arguments = guardArguments(parentPid);
    arguments[0] = FNGUARD_TOOL;
    arguments.insert(arguments.begin(), {"orphan-reaper", "-l"});
    ToolProcess reaper(ORPHAN_REAPER, arguments, home.root);
    if (waits) {
      std::string guard;
      for (int i = 0; i < 200 && guard.empty(); ++i, sleepFor(10ms))
        guard = readFile("/proc/" + std::to_string(reaper.pid()) + "/task/" + std::to_string(reaper.pid()) + "/children");
      awaitWatching(std::stoi(guard));
      ::kill(priority ? parent.pid() : std::stoi(guard), SIGTERM);
    }
    const int status = exitStatus(reaper.statusWithin(10s));
    if (reaper.standardError().find("cannot give the command a /dev/log") != std::string::npos)
      GTEST_SKIP() << "this system does not allow a private mount namespace";
    EXPECT_EQ(status, priority == 0 ? 128 + SIGTERM : priority == 11);
    // "pid GUARD exited ...", then "log: RECORD" for each record.
    const std::string out = reaper.standardOutput(), guard = out.substr(4, out.find(' ', 4) - 4);
    const std::string record = "log: <" + std::to_string(priority) + R"(>[A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d )" +
                               std::regex_replace(FNGUARD_LOG_SUBSYSTEM, std::regex(R"(\.)"), R"(\.)") + "\\[" +
                               guard + "\\]: fnguard: " + std::regex_replace(text, std::regex("%d"), std::to_string(parentPid));
    EXPECT_TRUE(std::regex_match(out, std::regex("pid " + guard + " [^\n]*\n" + (priority ? record + "\n" : ""))))
        << out;
  }
}
#endif

} // namespace
