// SPDX-License-Identifier: Apache-2.0
// The real tarnwick-fn-guard and the signals that end its wait: a
// stranger's releases the entry, the parent's own ends the guard quietly;
// and the check, before it says that it is watching, that it can reach the
// key mapping.
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include <poll.h>
#if !defined(__APPLE__)
#include <sys/prctl.h>
#endif
#include <sys/resource.h>

#include <memory>

using namespace FnRemapKit;
using namespace TestSupport;
using FnRemapMapping::entry;

namespace {

#if !defined(__APPLE__)
const KeyMappingList before = {entry(30064771129, 30064771296),
                               entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination), {{"Other", 7}}};
const KeyMappingList withoutOurs = {before[0], before[2]};

std::vector<std::string> guardArguments(pid_t parent) {
  return {FNGUARD_TOOL, std::to_string(parent), "0xFF00000003", "30064771182"};
}

// What arrives on \p fd until end of file, or until nothing has come for
// \p limit; closes it.
std::string readReport(int fd, std::chrono::milliseconds limit = 10s) {
  std::string text;
  char buffer[512];
  for (pollfd ready{fd, POLLIN, 0}; ::poll(&ready, 1, static_cast<int>(limit.count())) > 0;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0)
      break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return text;
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
// saying \p text; where no record can be had, only that it ended so.
testing::AssertionResult saidOnly(const ToolProcess &reaper, pid_t guard, const std::string &ending, int priority = 0,
                                  const std::string &text = "") {
  const std::string out = reaper.standardOutput(), first = "pid " + std::to_string(guard) + " " + ending;
  std::string pattern = literally(first) + "\n";
  if (priority)
    pattern += "log: <" + std::to_string(priority) + ">[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} " +
               literally(FNGUARD_LOG_SUBSYSTEM "[" + std::to_string(guard) + "]: fnguard: " + text) + "\n";
  const bool records = reaper.standardError().find("cannot give the command a /dev/log") == std::string::npos;
  if (records ? matchesWhole(out, pattern) : out.starts_with(first + "\n"))
    return testing::AssertionSuccess();
  return testing::AssertionFailure() << out;
}

struct StopSignalTest : KeyMappingTest {
  StopSignalTest() : KeyMappingTest(before) {}
};

// A pipe, both ends open until closed.
struct Pipe {
  Pipe() { EXPECT_EQ(::pipe(ends), 0); }
  int ends[2] = {-1, -1};
};

// One guard under the demo's reaper (which shows its records, as root), in
// a state directory of its own, with a parent that sends it a signal when
// told to on a pipe: {guard pid, signal}.
struct Watched {
  Watched(const std::filesystem::path &folder, bool careless)
      : folder(folder), state(folder / "state"), parent([this] {
          ::close(command.ends[1]);
          int order[2] = {};
          if (::read(command.ends[0], order, sizeof order) == sizeof order)
            ::kill(order[0], order[1]);
          sleepForever();
        }) {
    ::close(command.ends[0]);
    std::filesystem::create_directories(folder);
    ::setenv("TARNWICK_HID_STATE_DIR", state.c_str(), 1);
    EXPECT_TRUE(HIDKeyMappingStore().write(before));
    int report[2];
    EXPECT_EQ(::pipe(report), 0);
    auto arguments = guardArguments(parent.pid());
    arguments.insert(arguments.begin(), {"orphan-reaper", "-l"});
    reaper.emplace(ORPHAN_REAPER, arguments, folder, [&] {
      ::setenv("FNGUARD_READY_FD", std::to_string(report[1]).c_str(), 1);
      const rlimit noCore{0, 0};
      ::setrlimit(RLIMIT_CORE, &noCore);
      // As a careless parent may leave them: every stop signal ignored,
      // every signal blocked.
      if (careless) {
        for (const int number : stopSignals())
          ::signal(number, SIG_IGN);
        sigset_t all;
        sigfillset(&all);
        ::sigprocmask(SIG_BLOCK, &all, nullptr);
      }
    });
    ::close(report[1]);
    reportFd = report[0];
  }
  ~Watched() { ::close(command.ends[1]); }
  // Whether the guard says that it watches. One byte: the reaper keeps its
  // copy of the write end open.
  bool watching() {
    pollfd report{reportFd, POLLIN, 0};
    char byte = 0;
    const bool said = ::poll(&report, 1, 10'000) == 1 && ::read(reportFd, &byte, 1) == 1 && byte == '\n';
    ::close(reportFd);
    return said;
  }
  // Once it said that it watches.
  pid_t guardPid() const {
    const std::string guard = readFile("/proc/" + std::to_string(reaper->pid()) + "/task/" +
                                       std::to_string(reaper->pid()) + "/children");
    return guard.empty() ? -1 : std::stoi(guard);
  }
  std::optional<KeyMappingList> list() const {
    ::setenv("TARNWICK_HID_STATE_DIR", state.c_str(), 1);
    return HIDKeyMappingStore().read();
  }

  std::filesystem::path folder, state;
  Pipe command; // to the parent
  Child parent;
  std::optional<ToolProcess> reaper;
  int reportFd = -1;
};

// Each stop signal, from the test process (a stranger: the guard's parent
// is another child) and from the parent itself, all rows at once. Every
// other row's parent left the stop signals ignored and all signals blocked.
TEST_F(StopSignalTest, AStrangersSignalReleasesAndTheParentsEndsTheGuardQuietly) {
  struct Row {
    int signal;
    bool byParent;
    std::unique_ptr<Watched> watched;
    pid_t guard = -1;
  };
  std::vector<Row> rows;
  const auto numbers = stopSignals();
  // The standard ones, and real-time ones from both ends and the middle.
  std::vector<int> sent(numbers.begin(), numbers.begin() + 14);
  sent.insert(sent.end(), {SIGRTMIN, SIGRTMIN + 1, (SIGRTMIN + SIGRTMAX) / 2, SIGRTMAX});
  for (const int signal : sent)
    for (const bool byParent : {false, true})
      rows.push_back({signal, byParent,
                      std::make_unique<Watched>(root / ("row" + std::to_string(rows.size())), rows.size() % 4 < 2)});

  std::uint64_t stopMask = 0;
  for (const int number : numbers)
    stopMask |= std::uint64_t{1} << (number - 1);
  for (auto &row : rows) {
    SCOPED_TRACE(std::to_string(row.signal) + (row.byParent ? " from the parent" : " from a stranger"));
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
    if (row.byParent) {
      const int order[2] = {row.guard, row.signal};
      EXPECT_EQ(::write(row.watched->command.ends[1], order, sizeof order), static_cast<ssize_t>(sizeof order));
    } else {
      ::kill(row.guard, row.signal);
    }
  }
  const std::string stranger = std::to_string(::getpid());
  for (auto &row : rows) {
    SCOPED_TRACE(std::to_string(row.signal) + (row.byParent ? " from the parent" : " from a stranger"));
    EXPECT_GE(row.watched->reaper->wait(), 0);
    EXPECT_EQ(row.watched->list(), row.byParent ? before : withoutOurs);
    if (row.byParent)
      EXPECT_TRUE(saidOnly(*row.watched->reaper, row.guard, "was killed by signal " + std::to_string(row.signal)));
    else
      EXPECT_TRUE(saidOnly(*row.watched->reaper, row.guard, "exited with status 0", 8 + 5,
                           "stopped by signal " + std::to_string(row.signal) + " from process " + stranger +
                               ", removed the fn remap"));
  }
}

// The parent's signal that comes while a stranger's release waits for the
// lock (which the test holds) ends the guard only once the release and its
// record are done.
TEST_F(StopSignalTest, TheParentsSignalDuringAReleaseEndsTheGuardAfterIt) {
  Watched watched(root / "during", false);
  ASSERT_TRUE(watched.watching());
  const pid_t guard = watched.guardPid();
  std::optional<KeyMappingLock> held(KeyMappingLock::acquire()); // the state directory is the row's
  ASSERT_TRUE(held->held()) << held->error();
  ::kill(guard, SIGTERM);
  sleep_for(300ms); // it waits for the lock, 2 s at most
  const int order[2] = {guard, SIGUSR1};
  EXPECT_EQ(::write(watched.command.ends[1], order, sizeof order), static_cast<ssize_t>(sizeof order));
  sleep_for(200ms);
  EXPECT_EQ(watched.reaper->wait(500ms), -1) << "the parent's signal cut the release short";
  held.reset();
  ToolProcess &reaper = *watched.reaper;
  EXPECT_EQ(reaper.wait(), 128 + SIGUSR1);
  EXPECT_EQ(watched.list(), withoutOurs);
  EXPECT_TRUE(saidOnly(reaper, guard, "was killed by signal " + std::to_string(SIGUSR1), 8 + 5,
                       "stopped by signal 15 from process " + std::to_string(::getpid()) + ", removed the fn remap"));
}

// An application that leaves SIGTERM alone, and its guard, both sent it at
// once by a third process, as quitting an application that kills its
// coalition, a logout or `systemctl --user stop` do: the entry goes. The
// reference application, which quits on SIGTERM, ends its session as well.
TEST_F(StopSignalTest, SIGTERMToTheApplicationAndItsGuardAtOnceRemovesTheEntry) {
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); // the guard outlives the application: we reap it
  const KeyMappingList original = {before[0], before[2]};
  for (const bool reference : {false, true}) {
    SCOPED_TRACE(reference ? "parent-app" : "an application that does not handle SIGTERM");
    ASSERT_TRUE(store.write(original));
    std::optional<ToolProcess> app;
    std::optional<Talker> bare;
    pid_t appPid = -1, guard = -1;
    if (reference) {
      app.emplace(PARENT_APP, std::vector<std::string>{"parent-app", FNGUARD_TOOL}, root);
      ASSERT_TRUE(eventually([&] {
        return std::sscanf(app->standardOutput().c_str(), "parent-app %*d: fn remap installed, guard %d", &guard) == 1;
      })) << app->standardError();
      appPid = app->pid();
    } else {
      bare.emplace([](int out, int) {
        auto session = FnRemapSession::begin(FNGUARD_TOOL, entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination));
        Talker::say(out, std::to_string(session.guardPid()));
        sleepForever();
      });
      const auto said = bare->line();
      ASSERT_TRUE(said && std::stoi(*said) > 0);
      guard = std::stoi(*said);
      appPid = bare->pid();
    }
    // The reference application remaps Fn on both of Apple's pages.
    auto installed = KeyMappingList{before[0], before[2], before[1]};
    if (reference)
      installed.push_back(entry(FnRemapMapping::fnVendorKeyboardSource, FnRemapMapping::fnDestination));
    EXPECT_TRUE(eventually([&] { return store.read() == installed; })) << testing::PrintToString(store.read());
    ::kill(appPid, SIGTERM);
    ::kill(guard, SIGTERM);
    // The reference application reaps its guard itself; ours is reaped by us.
    if (reference)
      EXPECT_EQ(app->wait(), 0) << app->standardError();
    else
      EXPECT_EQ(bare->wait(), 128 + SIGTERM);
    EXPECT_EQ(reference ? 0 : waitFor(guard, 10s), 0);
    EXPECT_EQ(store.read(), original);
  }
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
  const std::string groupWritable = " is writable by group or others";
  // Without a report pipe, a release that goes on without the lock as
  // before, or fails as before.
  struct Row {
    std::filesystem::path state;
    std::string reason, outcomeWithout;
  };
  const std::string notRemoved = "fn remap not removed: ";
  for (const Row &row : std::vector<Row>{
           {open, "state directory " + open.string() + groupWritable, notRemoved},
           {file, "state directory " + file.string() + " is not a directory", notRemoved},
           {refusedLock, (refusedLock / "UserKeyMapping.lock").string() + " is a symbolic link", "fn remap already restored"},
           {refusedList, "cannot read " + (refusedList / "UserKeyMapping.json").string() + ": it" + groupWritable, notRemoved},
           {deep, ("state directory " + deep.string() + groupWritable).substr(0, 255), notRemoved}}) {
    const auto &[state, reason, outcomeWithout] = row; // a lambda may not capture a binding, as clang 14 has it
    const std::filesystem::path &stateDirectory = row.state;
    SCOPED_TRACE(state.string());
    for (const bool reporting : {true, false}) {
      int report[2];
      ASSERT_EQ(::pipe(report), 0);
      auto arguments = guardArguments(parent.pid());
      arguments.insert(arguments.begin(), {"orphan-reaper", "-l"});
      ToolProcess reaper(ORPHAN_REAPER, arguments, root, [&] {
        ::setenv("TARNWICK_HID_STATE_DIR", stateDirectory.c_str(), 1);
        if (reporting)
          ::setenv("FNGUARD_READY_FD", std::to_string(report[1]).c_str(), 1);
      });
      ::close(report[1]);
      if (reporting) {
        const std::string said = readReport(report[0]); // the guard's and the reaper's copies close as they exit
        EXPECT_EQ(said, reason);
        EXPECT_EQ(reaper.wait(5s), 1) << "it waited for its parent";
        EXPECT_TRUE(reaper.standardOutput().starts_with("pid ")) << reaper.standardOutput();
        EXPECT_EQ(reaper.standardOutput().find("log: "), std::string::npos) << reaper.standardOutput();
      } else {
        ::close(report[0]);
        EXPECT_EQ(reaper.wait(300ms), -1) << "it did not wait for its parent";
        ::kill(reaper.pid(), SIGTERM); // passed on to the guard: a stranger's, so it releases
        EXPECT_EQ(reaper.wait(), outcomeWithout == notRemoved ? 1 : 0);
        if (reaper.standardError().find("cannot give the command a /dev/log") == std::string::npos) {
          EXPECT_NE(reaper.standardOutput().find("fnguard: stopped by signal 15 from process " +
                                                 std::to_string(reaper.pid()) + ", " + outcomeWithout),
                    std::string::npos)
              << reaper.standardOutput();
        }
      }
    }
  }
}
#endif

} // namespace
