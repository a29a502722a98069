// SPDX-License-Identifier: Apache-2.0
// The real tarnwick-fn-guard under the demo's reaper, which gives it a
// /dev/log of its own (as root, where mount namespaces are allowed) and
// prints what reaches it, and what ends its wait: a stranger's signal
// releases the entry, the parent's own ends the guard quietly, the parent's
// exit releases; and the check, before it says that it is watching, that
// it can reach the key mapping.
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include "support/ProcessIdentity.hpp"

#include <poll.h>
#include <sys/resource.h>

#include <memory>

using namespace FnRemapKit;
using namespace TestSupport;
using FnRemapMapping::entry;

namespace {

#if !defined(__APPLE__)
// Ours between a neighbour and an entry of other keys; the command line uses
// the hexadecimal and decimal forms of the Fn remap's usages.
const KeyMappingEntry ours = entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
const KeyMappingList before = {entry(30064771129, 30064771296), ours, {{"Other", INT64_MIN}}};
const KeyMappingList withoutOurs = {before[0], before[2]};

std::vector<std::string> underReaper(pid_t parent) {
  return {"orphan-reaper", "-l", FNGUARD_TOOL, std::to_string(parent), "0xFF00000003", "30064771182"};
}

// Every signal that should end the guard's wait, as this test counts them.
std::vector<int> stopSignals() {
  std::vector<int> numbers = {SIGHUP,  SIGINT,    SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM,
                              SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR,  SIGSTKFLT};
  for (int number = SIGRTMIN; number <= SIGRTMAX; ++number)
    numbers.push_back(number);
  return numbers;
}

std::uint64_t statusMask(pid_t pid, const std::string &field) {
  const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
  const auto at = status.find(field + ":");
  return at == std::string::npos ? 0 : std::stoull(status.substr(at + field.size() + 1), nullptr, 16);
}

// Whether the reaper's output is that of a guard that ended as \p ending
// says after one record at syslog priority \p priority (none when 0)
// saying \p text under \p identity; where no record can be had, only that
// it ended so.
testing::AssertionResult saidOnly(const ToolProcess &reaper, pid_t guard, const std::string &ending, int priority = 0,
                                  const std::string &text = "", const std::string &identity = FNGUARD_LOG_SUBSYSTEM) {
  const std::string out = reaper.standardOutput(), first = "pid " + std::to_string(guard) + " " + ending;
  std::string pattern = literally(first) + "\n";
  if (priority)
    pattern += "log: <" + std::to_string(priority) + ">[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} " +
               literally(identity + "[" + std::to_string(guard) + "]: fnguard: " + text) + "\n";
  const bool records = reaper.standardError().find("cannot give the command a /dev/log") == std::string::npos;
  if (records ? matchesWhole(out, pattern) : out.starts_with(first + "\n"))
    return testing::AssertionSuccess();
  return testing::AssertionFailure() << out;
}

struct StopSignalTest : KeyMappingTest {
  StopSignalTest() : KeyMappingTest(before) {}
};

// One guard under the reaper, in a state directory of its own holding
// `before`, with a parent that sends it a signal when told to: the signal
// on a pipe, the guard's pid in a file. \p inReaper runs in the reaper before it starts.
// With \p replacing, the ledger's hold names the parent and a guard gone:
// stopped by a stranger before its session could name it there, this
// replacement must release the entry rather than keep it for its own, live,
// application.
struct Watched {
  Watched(const std::filesystem::path &folder, const std::function<void()> &inReaper = {}, bool replacing = false)
      : state(folder / "state"), told(folder / "guard"), parent([this](int, int hear) {
          char signal = 0;
          if (::read(hear, &signal, 1) == 1)
            ::kill(std::stoi(readFile(told)), signal);
          sleepForever();
        }) {
    std::filesystem::create_directories(folder);
    ::setenv("TARNWICK_HID_STATE_DIR", state.c_str(), 1);
    EXPECT_TRUE(HIDKeyMappingStore().write(before));
    if (replacing)
      KeyMappingLedger::file().save(
          {{{{parent.pid(), lookUpProcess(parent.pid()).value().start}, {goneProcess(), 1}, bootIdentifier(), ours}}, {}});
    int report[2];
    EXPECT_EQ(::pipe(report), 0);
    reaper.emplace(ORPHAN_REAPER, underReaper(parent.pid()), folder, [&] {
      ::setenv("FNGUARD_READY_FD", std::to_string(report[1]).c_str(), 1);
      const rlimit noCore{0, 0};
      ::setrlimit(RLIMIT_CORE, &noCore);
      if (inReaper)
        inReaper();
    });
    ::close(report[1]);
    reportFd = report[0];
    reportEnd = report[1];
  }
  ~Watched() { ::close(reportFd); }
  // Whether the guard says that it watches: one byte. The pipe never
  // reaches end of file here: the reaper keeps its copy of the write end.
  bool watching() {
    pollfd report{reportFd, POLLIN, 0};
    char byte = 0;
    return ::poll(&report, 1, 10'000) == 1 && ::read(reportFd, &byte, 1) == 1 && byte == '\n';
  }
  // Once it said that it watches.
  pid_t guardPid() const {
    const std::string guard = readFile("/proc/" + std::to_string(reaper->pid()) + "/task/" +
                                       std::to_string(reaper->pid()) + "/children");
    return guard.empty() ? -1 : std::stoi(guard);
  }
  void tellParent(pid_t guard, int signal) {
    std::ofstream(told) << guard;
    parent.tell(static_cast<char>(signal));
  }
  std::optional<KeyMappingList> list() const {
    ::setenv("TARNWICK_HID_STATE_DIR", state.c_str(), 1);
    return HIDKeyMappingStore().read();
  }

  std::filesystem::path state, told; // told: the guard's pid, for the parent
  Talker parent;
  std::optional<ToolProcess> reaper;
  int reportFd = -1, reportEnd = -1; // reportEnd: the guard's number for its end
};

// Each stop signal, from the test process (a stranger: the guard's parent
// is another child) and from the parent itself, all rows at once; and
// SIGTERM from a stranger as the parent dies of it too, as quitting an
// application that kills its coalition, a logout or `systemctl --user
// stop` do. For every other signal (both its rows) the guard is started by
// a reaper that left the stop signals ignored and all signals blocked.
TEST_F(StopSignalTest, AStrangersSignalReleasesAndTheParentsEndsTheGuardQuietly) {
  enum From { stranger, theParent, strangerAsTheParentDies };
  struct Row {
    int signal;
    From from;
    std::unique_ptr<Watched> watched;
    pid_t guard = -1;
  };
  const auto careless = [] {
    for (const int number : stopSignals())
      ::signal(number, SIG_IGN);
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, nullptr);
  };
  std::vector<Row> rows;
  const auto numbers = stopSignals();
  // The standard ones, and real-time ones from both ends and the middle.
  std::vector<int> sent(numbers.begin(), numbers.begin() + 14);
  sent.insert(sent.end(), {SIGRTMIN, SIGRTMIN + 1, (SIGRTMIN + SIGRTMAX) / 2, SIGRTMAX});
  const auto add = [&](int signal, From from) {
    rows.push_back({signal, from,
                    std::make_unique<Watched>(root / ("row" + std::to_string(rows.size())),
                                              rows.size() % 4 < 2 ? careless : std::function<void()>(), true)});
  };
  for (const int signal : sent)
    for (const From from : {stranger, theParent})
      add(signal, from);
  add(SIGTERM, strangerAsTheParentDies);

  std::uint64_t stopMask = 0;
  for (const int number : numbers)
    stopMask |= std::uint64_t{1} << (number - 1);
  const auto trace = [](const Row &row) { return std::to_string(row.signal) + " from " + "sp*"[row.from]; };
  for (auto &row : rows) {
    SCOPED_TRACE(trace(row));
    EXPECT_TRUE(row.watched->watching()) << "the guard did not say that it was watching";
    row.guard = row.watched->guardPid();
    ASSERT_GT(row.guard, 0);
    // Caught and unblocked, all of them, whatever the parent left; SIGPIPE
    // ignored. Nothing else is caught, unless a sanitizer catches the faults.
    const std::uint64_t caught = statusMask(row.guard, "SigCgt");
    EXPECT_EQ(caught & stopMask, stopMask) << std::hex << caught;
    if (!sanitized) {
      EXPECT_EQ(caught, stopMask) << std::hex << caught;
    }
    EXPECT_EQ(statusMask(row.guard, "SigBlk") & stopMask, 0u);
    const std::uint64_t pipe = std::uint64_t{1} << (SIGPIPE - 1);
    EXPECT_EQ(statusMask(row.guard, "SigIgn") & (stopMask | pipe), pipe); // the C library's own are not ours
  }
  for (auto &row : rows) {
    if (row.from == theParent)
      row.watched->tellParent(row.guard, row.signal);
    else
      ::kill(row.guard, row.signal);
    if (row.from == strangerAsTheParentDies)
      ::kill(row.watched->parent.pid(), row.signal);
  }
  for (auto &row : rows) {
    SCOPED_TRACE(trace(row));
    EXPECT_GE(row.watched->reaper->wait(), 0);
    EXPECT_EQ(row.watched->list(), row.from == theParent ? before : withoutOurs);
    const auto removedAfter = [&](const std::string &why) {
      return saidOnly(*row.watched->reaper, row.guard, "exited with status 0", 8 + 5, why + ", removed the fn remap");
    };
    const std::string byStranger = "stopped by signal " + std::to_string(row.signal) + " from process " + std::to_string(::getpid());
    if (row.from == theParent)
      EXPECT_TRUE(saidOnly(*row.watched->reaper, row.guard, "was killed by signal " + std::to_string(row.signal)));
    else if (row.from == stranger)
      EXPECT_TRUE(removedAfter(byStranger));
    else
      EXPECT_TRUE(removedAfter(byStranger) || removedAfter("parent " + std::to_string(row.watched->parent.pid()) + " exited"))
          << row.watched->reaper->standardOutput();
  }
}

// A stranger's signal while the test holds the lock: the report pipe, open
// while the guard watched, closes as it wakes, before it has the lock, with
// our entry still in the list, and nothing more said on it. The parent's
// signal that comes meanwhile ends the guard only once the release and its
// record are done.
TEST_F(StopSignalTest, ItWakesBeforeTheLockAndTheParentsSignalWaitsForTheRelease) {
  Watched watched(root / "during");
  ASSERT_TRUE(watched.watching());
  const pid_t guard = watched.guardPid();
  // The same pipe, not only a descriptor of that number: the guard may open
  // the lock file under the number it freed.
  const auto link = [](const std::string &path) {
    std::error_code gone;
    return std::filesystem::read_symlink(path, gone).string();
  };
  const std::string pipe = link("/proc/self/fd/" + std::to_string(watched.reportFd));
  const auto reporting = [&] {
    return link("/proc/" + std::to_string(guard) + "/fd/" + std::to_string(watched.reportEnd)) == pipe;
  };
  sleep_for(300ms);
  EXPECT_TRUE(reporting()) << "the pipe did not stay open while the guard watched";
  std::optional<KeyMappingLock> held(KeyMappingLock::acquire()); // the state directory is the row's
  ASSERT_TRUE(held->held()) << held->error();
  ::kill(guard, SIGTERM);
  EXPECT_TRUE(eventually([&] { return !reporting(); }, 1500ms)) << "the pipe did not close as the guard woke";
  pollfd report{watched.reportFd, POLLIN, 0};
  EXPECT_EQ(::poll(&report, 1, 0), 0) << "more than the one byte";
  watched.tellParent(guard, SIGUSR1);
  sleep_for(200ms);
  EXPECT_EQ(watched.reaper->wait(500ms), -1) << "it did not wait for the lock, or the parent's signal cut it short";
  EXPECT_EQ(watched.list(), before);
  held.reset();
  EXPECT_EQ(watched.reaper->wait(), 128 + SIGUSR1);
  EXPECT_EQ(watched.list(), withoutOurs);
  EXPECT_TRUE(saidOnly(*watched.reaper, guard, "was killed by signal " + std::to_string(SIGUSR1), 8 + 5,
                       "stopped by signal 15 from process " + std::to_string(::getpid()) + ", removed the fn remap"));
}

// The parent's exit: one record of each outcome as syslog receives it,
// facility user (8) plus the level, under the identifier a session may hand
// the guard (one that is no reverse-DNS name leaves the built-in one). A
// list it need not or cannot change, put once it watches, is not written.
TEST_F(StopSignalTest, TheParentsExitReleasesAndSaysWhatBecameOfIt) {
  struct Row {
    std::string list; // none: `before`
    const char *subsystem;
    int status, priority;
    std::string text, identity = FNGUARD_LOG_SUBSYSTEM;
  };
  for (const Row &row : std::vector<Row>{
           {"", nullptr, 0, 8 + 5, "removed the fn remap"},
           {"[]", "com.example.aAzZ09-_", 0, 8 + 5, "fn remap already restored", "com.example.aAzZ09-_"},
           {"[{", "com.example app", 1, 8 + 3,
            "fn remap not removed: could not read the current mapping: unsupportedShape"}}) {
    SCOPED_TRACE(row.text);
    Watched watched(root / row.text, [&] {
      if (row.subsystem)
        ::setenv("FNGUARD_LOG_SUBSYSTEM", row.subsystem, 1);
    });
    ASSERT_TRUE(watched.watching());
    const std::filesystem::path file = watched.state / "UserKeyMapping.json";
    if (!row.list.empty())
      std::ofstream(file, std::ios::trunc) << row.list;
    const auto identity = [&] {
      struct stat s {};
      EXPECT_EQ(::stat(file.c_str(), &s), 0);
      return std::pair{s.st_ino, readFile(file)};
    };
    const auto untouched = identity();
    const pid_t guard = watched.guardPid(), parent = watched.parent.pid();
    ::kill(parent, SIGKILL);
    EXPECT_EQ(watched.reaper->wait(), row.status);
    if (row.list.empty())
      EXPECT_EQ(watched.list(), withoutOurs);
    else
      EXPECT_EQ(identity(), untouched);
    EXPECT_TRUE(saidOnly(*watched.reaper, guard, "exited with status " + std::to_string(row.status), row.priority,
                         "parent " + std::to_string(parent) + " exited, " + row.text, row.identity));
  }
}

// An application that quits on SIGTERM (the reference one) and its guards,
// all sent it at once by a third process: the sessions end, and the entries
// go. (An application that leaves SIGTERM alone is the first test's.)
TEST_F(StopSignalTest, SIGTERMToTheApplicationAndItsGuardAtOnceRemovesTheEntry) {
  ASSERT_TRUE(store.write(withoutOurs));
  ToolProcess app(PARENT_APP, {"parent-app", FNGUARD_TOOL}, root);
  pid_t guard = -1;
  ASSERT_TRUE(eventually([&] {
    return std::sscanf(app.standardOutput().c_str(), "parent-app %*d: fn remap installed, guard %d", &guard) == 1;
  })) << app.standardError();
  // It remaps Fn on both of Apple's pages.
  const KeyMappingList installed = {before[0], before[2], ours,
                                    entry(FnRemapMapping::fnVendorKeyboardSource, FnRemapMapping::fnDestination)};
  EXPECT_TRUE(eventually([&] { return store.read() == installed; })) << testing::PrintToString(store.read());
  ::kill(app.pid(), SIGTERM);
  ::kill(guard, SIGTERM);
  EXPECT_EQ(app.wait(), 0) << app.standardError();
  EXPECT_EQ(store.read(), withoutOurs);
}

// A guard that cannot reach the key mapping says why on its report pipe in
// place of the watching byte, at most 255 bytes, and exits 1 at once, while
// its parent runs, leaving no record; without a report pipe it waits as
// before and fails only when it is needed.
TEST_F(StopSignalTest, AGuardThatCannotReachTheKeyMappingSaysWhyInsteadOfWatching) {
  Child parent(sleepForever);
  const std::filesystem::path open = root / "open", file = root / "file", refusedLock = root / "lock",
                              refusedList = root / "list", deep = root / std::string(200, 'd') / std::string(100, 'e');
  for (const auto &directory : {open, refusedLock, refusedList, deep}) {
    std::filesystem::create_directories(directory);
    ::chmod(directory.c_str(), directory == open || directory == deep ? 0770 : 0700);
  }
  std::ofstream(file) << "";
  ASSERT_EQ(::symlink("/dev/null", (refusedLock / "UserKeyMapping.lock").c_str()), 0);
  std::ofstream(refusedList / "UserKeyMapping.json") << "[]";
  ::chmod((refusedList / "UserKeyMapping.json").c_str(), 0622);
  const std::string groupWritable = " is writable by group or others", notRemoved = "fn remap not removed: ";
  // Without a report pipe, a release that goes on without the lock as
  // before, or fails as before.
  struct Row {
    std::filesystem::path state;
    std::string reason, outcomeWithout;
  };
  for (const Row &row : std::vector<Row>{
           {open, "state directory " + open.string() + groupWritable, notRemoved},
           {file, "state directory " + file.string() + " is not a directory", notRemoved},
           {refusedLock, (refusedLock / "UserKeyMapping.lock").string() + " is a symbolic link", "fn remap already restored"},
           {refusedList, "cannot read " + (refusedList / "UserKeyMapping.json").string() + ": it" + groupWritable, notRemoved},
           {deep, ("state directory " + deep.string() + groupWritable).substr(0, 255), notRemoved}}) {
    SCOPED_TRACE(row.state.string());
    for (const bool reporting : {true, false}) {
      int report[2];
      ASSERT_EQ(::pipe(report), 0);
      ToolProcess reaper(ORPHAN_REAPER, underReaper(parent.pid()), root, [&] {
        ::setenv("TARNWICK_HID_STATE_DIR", row.state.c_str(), 1);
        if (reporting)
          ::setenv("FNGUARD_READY_FD", std::to_string(report[1]).c_str(), 1);
      });
      ::close(report[1]);
      if (reporting) {
        ASSERT_EQ(reaper.wait(5s), 1) << "it waited for its parent";
        // The guard's and the reaper's copies closed as they exited.
        EXPECT_EQ(readFile("/dev/fd/" + std::to_string(report[0])), row.reason);
        ::close(report[0]);
        EXPECT_TRUE(matchesWhole(reaper.standardOutput(), "pid [0-9]+ exited with status 1\n")) << reaper.standardOutput();
      } else {
        ::close(report[0]);
        EXPECT_EQ(reaper.wait(300ms), -1) << "it did not wait for its parent";
        ::kill(reaper.pid(), SIGTERM); // passed on to the guard: a stranger's, so it releases
        EXPECT_EQ(reaper.wait(), row.outcomeWithout == notRemoved ? 1 : 0);
        if (reaper.standardError().find("cannot give the command a /dev/log") == std::string::npos) {
          EXPECT_NE(reaper.standardOutput().find("fnguard: stopped by signal 15 from process " +
                                                 std::to_string(reaper.pid()) + ", " + row.outcomeWithout),
                    std::string::npos)
              << reaper.standardOutput();
        }
      }
    }
  }
}
#endif

} // namespace
