// The real tarnwick-fn-guard against the real stand-in, with real parents.
#include "support/GuardProcess.hpp"
#include "support/StateDirectory.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <regex>

using namespace TestSupport;
using namespace std::chrono_literals;

namespace {

// Two entries of the application's neighbours around ours, which uses the
// hexadecimal and decimal forms of the Fn remap's usages.
const std::string before = R"([{"HIDKeyboardModifierMappingDst":30064771296,"HIDKeyboardModifierMappingSrc":30064771129},)"
                           R"({"HIDKeyboardModifierMappingDst":30064771182,"HIDKeyboardModifierMappingSrc":1095216660483},)"
                           R"({"Other":-9223372036854775808}])";
const std::string after = R"([{"HIDKeyboardModifierMappingDst":30064771296,"HIDKeyboardModifierMappingSrc":30064771129},)"
                          R"({"Other":-9223372036854775808}])";
const std::string usage = "usage: tarnwick-fn-guard <parent-pid> <src-usage> <dst-usage>\n";

struct FileIdentity {
  ino_t inode;
  timespec modified;
  std::string bytes;
  bool operator==(const FileIdentity &o) const {
    return inode == o.inode && modified.tv_sec == o.modified.tv_sec &&
           modified.tv_nsec == o.modified.tv_nsec && bytes == o.bytes;
  }
};

FileIdentity identity(const StateDirectory &state) {
  struct stat s {};
  EXPECT_EQ(::stat(state.file().c_str(), &s), 0);
  return {s.st_ino, s.st_mtim, state.contents()};
}

std::vector<std::string> guardArguments(pid_t parent) {
  return {"tarnwick-fn-guard", std::to_string(parent), "0xFF00000003", "30064771182"};
}

// A parent that has exited and been reaped.
pid_t goneParent() {
  Child parent(sleepForever);
  const pid_t pid = parent.pid();
  ::kill(pid, SIGKILL);
  parent.statusWithin(5s);
  return pid;
}

class GuardToolTest : public testing::Test {
protected:
  StateDirectory state;
};

TEST_F(GuardToolTest, RemovesTheEntryWhenTheParentIsKilled) {
  state.put(before);
  Child parent(sleepForever);
  ToolProcess guard(FNGUARD_TOOL, guardArguments(parent.pid()), state.root);
  awaitWatching(guard.pid());
  EXPECT_FALSE(guard.statusWithin(100ms)) << "the guard must wait while the parent lives";
  EXPECT_EQ(state.contents(), before);

  ::kill(parent.pid(), SIGKILL);
  EXPECT_EQ(exitStatus(guard.statusWithin(10s)), 0) << guard.standardError();
  EXPECT_EQ(state.contents(), after + "\n");
  EXPECT_EQ(guard.standardOutput(), "");
  EXPECT_EQ(guard.standardError(), "");
}

TEST_F(GuardToolTest, ParentAlreadyGone) {
  struct Row {
    const char *name;
    std::string contents;
    std::function<void()> beforeExec;
    int status;
    bool changed;
  };
  const std::vector<Row> rows = {
      {"entry already gone", after, {}, 0, false},
      {"not JSON", "[{\"HIDKeyboardModifierMappingSrc\":1095216660483,", {}, 1, false},
      {"not a list", R"({"HIDKeyboardModifierMappingSrc":1095216660483})", {}, 1, false},
      {"a boolean where a number belongs", R"([{"HIDKeyboardModifierMappingSrc":true}])", {}, 1, false},
      {"an integer beyond 64 bits beside our entry", before.substr(0, before.rfind('{')) + R"({"Other":-9223372036854775809}])",
       {}, 1, false},
      {"no state directory configured", before, [] {
         ::unsetenv("TARNWICK_HID_STATE_DIR");
         ::unsetenv("XDG_RUNTIME_DIR");
       }, 1, false},
      {"a temporary left by a dead writer with the guard's pid", before, [this] {
         std::ofstream(state.path / (".UserKeyMapping.json." + std::to_string(::getpid()) + ".0"));
       }, 0, true},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    state.put(row.contents);
    const auto untouched = identity(state);
    ToolProcess guard(FNGUARD_TOOL, guardArguments(goneParent()), state.root, row.beforeExec);
    EXPECT_EQ(exitStatus(guard.statusWithin(10s)), row.status);
    if (row.changed)
      EXPECT_EQ(state.contents(), after + "\n");
    else
      EXPECT_EQ(identity(state), untouched);
    EXPECT_EQ(guard.standardOutput(), "");
  }
}

TEST_F(GuardToolTest, RefusesABadCommandLineWithTheUsageLine) {
  const std::vector<std::vector<std::string>> rows = {
      {"tarnwick-fn-guard"},
      {"tarnwick-fn-guard", "4242", "0xFF00000003"},
      {"tarnwick-fn-guard", "4242", "0xFF00000003", "30064771182", "extra"},
      {"tarnwick-fn-guard", "1", "0xFF00000003", "30064771182"},
      {"tarnwick-fn-guard", "4242x", "0xFF00000003", "30064771182"},
      {"tarnwick-fn-guard", "4242", "0xFF00000003", "1e3"},
      {"tarnwick-fn-guard", "4242", "", "30064771182"},
      {"tarnwick-fn-guard", "--help"},
  };
  state.put(before);
  for (const auto &row : rows) {
    SCOPED_TRACE(row.size() > 1 ? row[1] : "no arguments");
    ToolProcess guard(FNGUARD_TOOL, row, state.root);
    EXPECT_EQ(exitStatus(guard.statusWithin(10s)), 64);
    EXPECT_EQ(guard.standardError(), usage);
    EXPECT_EQ(guard.standardOutput(), "");
  }
  EXPECT_EQ(state.contents(), before);
}

TEST_F(GuardToolTest, SigtermOrSigintWhileWaitingEndsItWithNoChange) {
  // Started with both ignored or both blocked, as a careless parent might
  // leave them.
  const auto ignore = [] {
    ::signal(SIGTERM, SIG_IGN);
    ::signal(SIGINT, SIG_IGN);
  };
  const auto block = [] {
    sigset_t both;
    sigemptyset(&both);
    sigaddset(&both, SIGTERM);
    sigaddset(&both, SIGINT);
    sigprocmask(SIG_BLOCK, &both, nullptr);
  };
  state.put(before);
  const auto untouched = identity(state);
  for (const auto &[beforeExec, signal] : std::vector<std::pair<std::function<void()>, int>>{
           {ignore, SIGTERM}, {ignore, SIGINT}, {block, SIGTERM}, {block, SIGINT}}) {
    Child parent(sleepForever);
    ToolProcess guard(FNGUARD_TOOL, guardArguments(parent.pid()), state.root, beforeExec);
    awaitWatching(guard.pid());
    ::kill(guard.pid(), signal);
    EXPECT_EQ(exitStatus(guard.statusWithin(10s)), 128 + signal);
  }
  EXPECT_EQ(identity(state), untouched);
}

// The records themselves, caught at /dev/log in a mount namespace of the
// guard's own.
class GuardLogTest : public GuardToolTest {
protected:
  void SetUp() override {
    if (::geteuid() != 0)
      GTEST_SKIP() << "needs root to give the guard a private /dev/log (unshare, mount)";
  }

  std::regex record(int priority, const std::string &text, pid_t guard) {
    return std::regex("<" + std::to_string(priority) + R"(>[A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d )" +
                      std::regex_replace(FNGUARD_LOG_SUBSYSTEM, std::regex(R"(\.)"), R"(\.)") + "\\[" +
                      std::to_string(guard) + "\\]: " + text);
  }
};

TEST_F(GuardLogTest, WritesOneRecordForEachOutcome) {
  struct Row {
    const char *name;
    std::string contents;
    bool killParentLater;
    int priority; // facility user (8) plus the level
    std::string text;
  };
  const std::vector<Row> rows = {
      {"removed", before, true, 8 + 5, "fnguard: parent %d exited, removed the fn remap"},
      {"already gone", after, false, 8 + 5, "fnguard: parent %d exited, fn remap already restored"},
      {"failed", "[{", false, 8 + 3,
       "fnguard: parent %d exited, fn remap not removed: could not read the current mapping: unsupportedShape"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    state.put(row.contents);
    LogReceiver receiver(state.root);
    Child parent(sleepForever);
    const pid_t parentPid = row.killParentLater ? parent.pid() : goneParent();
    ToolProcess guard(FNGUARD_TOOL, guardArguments(parentPid), state.root,
                      [&] { receiver.becomeDevLog(); });
    if (row.killParentLater) {
      awaitWatching(guard.pid());
      ::kill(parent.pid(), SIGKILL);
    }
    const int status = exitStatus(guard.statusWithin(10s));
    if (status == LogReceiver::unavailable)
      GTEST_SKIP() << "this system does not allow a private mount namespace";
    EXPECT_EQ(status, row.priority == 11 ? 1 : 0);

    const auto records = receiver.records(5s);
    ASSERT_EQ(records.size(), 1u);
    const std::string text = std::regex_replace(row.text, std::regex("%d"), std::to_string(parentPid));
    EXPECT_TRUE(std::regex_match(records[0], record(row.priority, text, guard.pid()))) << records[0];
    std::filesystem::remove(state.root / "log");
  }
}

TEST_F(GuardLogTest, WritesNoRecordWhenKilledWhileWaiting) {
  state.put(before);
  LogReceiver receiver(state.root);
  Child parent(sleepForever);
  ToolProcess guard(FNGUARD_TOOL, guardArguments(parent.pid()), state.root,
                    [&] { receiver.becomeDevLog(); });
  awaitWatching(guard.pid());
  ::kill(guard.pid(), SIGTERM);
  const int status = exitStatus(guard.statusWithin(10s));
  if (status == LogReceiver::unavailable)
    GTEST_SKIP() << "this system does not allow a private mount namespace";
  EXPECT_EQ(status, 128 + SIGTERM);
  EXPECT_EQ(receiver.records(500ms), std::vector<std::string>{});
}

} // namespace
