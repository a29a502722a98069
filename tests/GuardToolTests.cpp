// SPDX-License-Identifier: Apache-2.0
// The real tarnwick-fn-guard with real parents, against the stand-in, or on
// a Mac that allows it the real HID event system. The removal after a killed
// parent is run through the reference applications (SessionTests.cpp).
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include <poll.h>

#include <optional>

using namespace FnRemapKit;
using namespace TestSupport;
using FnRemapMapping::entry;

namespace {

// Ours between a neighbour and an entry of other keys; the command line uses
// the hexadecimal and decimal forms of the Fn remap's usages.
const KeyMappingList before = {entry(30064771129, 30064771296),
                               entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination), {{"Other", INT64_MIN}}};

struct GuardToolTest : KeyMappingTest {
  GuardToolTest() : KeyMappingTest(before) {}
  // The stand-in's file itself: whether the guard wrote it at all.
  std::pair<ino_t, std::string> identity() const {
    struct stat s {};
    EXPECT_EQ(::stat(file().c_str(), &s), 0);
    return {s.st_ino, contents()};
  }
};

TEST_F(GuardToolTest, RefusesABadCommandLineWithTheUsageLine) {
  for (const auto &row : {std::vector<std::string>{"tarnwick-fn-guard"}, {"tarnwick-fn-guard", "4242", "0xFF00000003"},
                          {"tarnwick-fn-guard", "2", "3", "4", "5"}, {"tarnwick-fn-guard", "1", "3", "4"}}) {
    ToolProcess guard(FNGUARD_TOOL, row, root);
    EXPECT_EQ(guard.wait(), 64);
    EXPECT_EQ(guard.standardError(), "usage: tarnwick-fn-guard <parent-pid> <src-usage> <dst-usage>\n");
    EXPECT_EQ(guard.standardOutput(), "");
  }
}

// The report pipe stays open for as long as the guard watches, and reaches
// end of file as soon as a stranger's signal wakes it: before it has the
// lock (the test holds it), with our entry still in the list.
TEST_F(GuardToolTest, ItsReportPipeClosesAsItWakesBeforeItTakesTheLock) {
  Child parent(sleepForever);
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  ToolProcess guard(FNGUARD_TOOL,
                    {"tarnwick-fn-guard", std::to_string(parent.pid()), "0xFF00000003", "30064771182"}, root,
                    [&] { ::setenv(FnGuard::readyVariable, std::to_string(report[1]).c_str(), 1); });
  ::close(report[1]);
  pollfd watched{report[0], POLLIN, 0};
  char byte = 0;
  ASSERT_TRUE(::poll(&watched, 1, 10'000) == 1 && ::read(report[0], &byte, 1) == 1 && byte == '\n')
      << "the guard did not say that it was watching";
  EXPECT_EQ(::poll(&watched, 1, 300), 0) << "the pipe did not stay open while the guard watched";
  std::optional<KeyMappingLock> held(KeyMappingLock::acquire());
  ASSERT_TRUE(held->held()) << held->error();
  ::kill(guard.pid(), SIGTERM);
  // Within its 2 s bound for the lock, it waits for ours.
  EXPECT_EQ(::poll(&watched, 1, 1500), 1);
  EXPECT_EQ(::read(report[0], &byte, 1), 0) << "more than the one byte, or no end of file";
  EXPECT_EQ(guard.wait(0ms), -1) << "it did not wait for the lock";
  EXPECT_EQ(store.read(), before);
  held.reset();
  EXPECT_EQ(guard.wait(), 0);
  EXPECT_EQ(store.read(), (KeyMappingList{before[0], before[2]}));
  ::close(report[0]);
}

#if !defined(__APPLE__)
// The guard under the demo's reaper, which gives it a /dev/log of its own
// (as root, where mount namespaces are allowed) and prints what reaches it:
// one record of each outcome of a parent's exit as syslog receives it,
// facility user (8) plus the level, the identifier, the guard's pid. (A
// stranger's signal, and the parent's own, are StopSignalsTests.cpp's.)
TEST_F(GuardToolTest, RemovesOnceTheParentIsGoneAndSaysWhatBecameOfIt) {
  const std::string withOurs = contents();
  struct Row {
    std::string state;
    const char *subsystem; // the identifier a session may hand the guard
    bool waits;            // else the parent is gone before the guard starts
    int status, priority;  // how it ends, and its record's priority
    std::string text, logIdentity = FNGUARD_LOG_SUBSYSTEM;
  };
  for (const Row &row : std::vector<Row>{
           {withOurs, nullptr, true, 0, 8 + 5, "removed the fn remap"},
           {"[]", "com.example.aAzZ09-_", false, 0, 8 + 5, "fn remap already restored", "com.example.aAzZ09-_"},
           // One that is no reverse-DNS name leaves the built-in one.
           {"[{", "com.example app", false, 1, 8 + 3,
            "fn remap not removed: could not read the current mapping: unsupportedShape"}}) {
    SCOPED_TRACE(row.text);
    put(row.state);
    const auto untouched = identity();
    Child parent(sleepForever);
    const pid_t parentPid = row.waits ? parent.pid() : goneProcess();
    // The guard says on a pipe that it is watching (the reaper passes it on).
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    ToolProcess reaper(ORPHAN_REAPER,
                       {"orphan-reaper", "-l", FNGUARD_TOOL, std::to_string(parentPid), "0xFF00000003", "30064771182"},
                       root, [&] {
                         ::setenv("FNGUARD_READY_FD", std::to_string(report[1]).c_str(), 1);
                         if (row.subsystem)
                           ::setenv("FNGUARD_LOG_SUBSYSTEM", row.subsystem, 1);
                       });
    ::close(report[1]);
    char byte = 0;
    EXPECT_EQ(::read(report[0], &byte, 1), 1) << "the guard did not say that it was watching";
    ::close(report[0]);
    ::kill(parent.pid(), SIGTERM);
    EXPECT_EQ(reaper.wait(), row.status);
    if (row.waits)
      EXPECT_EQ(store.read(), (KeyMappingList{before[0], before[2]}));
    else
      EXPECT_EQ(identity(), untouched);
    if (reaper.standardError().find("cannot give the command a /dev/log") != std::string::npos)
      continue; // its records went to the system's log
    // "pid GUARD exited ...", then "log: RECORD".
    const std::string out = reaper.standardOutput(), guard = out.substr(4, out.find(' ', 4) - 4);
    const std::string said = row.logIdentity + "[" + guard + "]: fnguard: parent " + std::to_string(parentPid) +
                             " exited, " + row.text;
    const std::string record = "log: <" + std::to_string(row.priority) + ">[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} " +
                               literally(said);
    EXPECT_TRUE(matchesWhole(out, "pid " + guard + " [^\n]*\n" + record + "\n")) << out;
  }
}
#endif

} // namespace
