// The real tarnwick-fn-guard with real parents, against the stand-in, or on
// a Mac that allows it the real HID event system.
#include "support/KeyMappingHome.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include <gtest/gtest.h>

#if !defined(__APPLE__)
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#endif
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

// A parent that has exited and been reaped.
pid_t goneParent() {
  Child parent([] {});
  parent.statusWithin(5s);
  return parent.pid();
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

TEST_F(GuardToolTest, RemovesTheEntryWhenTheParentIsKilled) {
  Child parent(sleepForever);
  ToolProcess guard(FNGUARD_TOOL, guardArguments(parent.pid()), home.root);
  awaitWatching(guard.pid());
  EXPECT_FALSE(guard.statusWithin(100ms)) << "the guard must wait while the parent lives";
  EXPECT_EQ(store.read(), before);
  ::kill(parent.pid(), SIGKILL);
  EXPECT_EQ(exitStatus(guard.statusWithin(10s)), 0) << guard.standardError();
  EXPECT_EQ(store.read(), after);
  EXPECT_EQ(guard.standardOutput() + guard.standardError(), "");
#if defined(__APPLE__)
  // As the system's own tools show it.
  const auto shown = commandOutput("hidutil property --get UserKeyMapping");
  EXPECT_TRUE(shown.find("1095216660483") == std::string::npos && shown.find("30064771296") != std::string::npos)
      << shown;
  const std::string record = "parent " + std::to_string(parent.pid()) + " exited, removed the fn remap";
  std::string records;
  for (int i = 0; i < 50 && records.find(record) == std::string::npos; ++i, sleepFor(200ms))
    records = commandOutput("log show --last 5m --style compact --predicate 'subsystem == \"" FNGUARD_LOG_SUBSYSTEM
                            "\" AND category == \"fnguard\"'");
  EXPECT_NE(records.find(record), std::string::npos) << records;
#endif
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
  const std::vector<std::vector<std::string>> rows = {
      {"tarnwick-fn-guard"},
      {"tarnwick-fn-guard", "4242", "0xFF00000003"},
      {"tarnwick-fn-guard", "4242", "0xFF00000003", "30064771182", "extra"},
      {"tarnwick-fn-guard", "1", "0xFF00000003", "30064771182"},
      {"tarnwick-fn-guard", "4242", "", "1e3"},
  };
  KeyMappingHome outputs;
  for (const auto &row : rows) {
    ToolProcess guard(FNGUARD_TOOL, row, outputs.root);
    EXPECT_EQ(exitStatus(guard.statusWithin(10s)), 64);
    EXPECT_EQ(guard.standardError(), "usage: tarnwick-fn-guard <parent-pid> <src-usage> <dst-usage>\n");
    EXPECT_EQ(guard.standardOutput(), "");
  }
}

#if !defined(__APPLE__)
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
      {"not JSON", "[{\"HIDKeyboardModifierMappingSrc\":1095216660483,", {}, 1, false},
      {"a boolean where a number belongs", R"([{"HIDKeyboardModifierMappingSrc":true}])", {}, 1, false},
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

// A datagram socket bound in \p directory, receiving syslog records the way
// a system logger does on /dev/log.
class LogReceiver {
public:
  explicit LogReceiver(const std::filesystem::path &directory) : path(directory / "log") {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot bind " + path.string());
  }
  LogReceiver(const LogReceiver &) = delete;
  LogReceiver &operator=(const LogReceiver &) = delete;
  ~LogReceiver() {
    ::close(fd);
    ::unlink(path.c_str());
  }

  /// Every record that has arrived, waiting up to \p first for the first.
  std::vector<std::string> records(std::chrono::milliseconds first) const {
    std::vector<std::string> received;
    pollfd ready{fd, POLLIN, 0};
    char buffer[4096];
    for (int timeout = static_cast<int>(first.count()); ::poll(&ready, 1, timeout) == 1; timeout = 0) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n < 0)
        break;
      received.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    return received;
  }

  /// For a child about to exec: a private mount namespace whose /dev/log is
  /// this receiver. Exits with `unavailable` when the system will not allow it.
  void becomeDevLog() const {
    int target = -1;
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 ||
        (target = ::open("/dev/log", O_WRONLY | O_CREAT, 0666)) < 0 || ::close(target) != 0 ||
        ::mount(path.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0)
      ::_exit(unavailable);
  }

  static constexpr int unavailable = 125;

private:
  std::filesystem::path path;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

// One record for each outcome, none when killed while waiting: syslog,
// facility user (8) plus the level, the identifier and the guard's pid.
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
    SCOPED_TRACE(text);
    home.put(contents);
    LogReceiver receiver(home.root);
    Child parent(sleepForever);
    const pid_t parentPid = waits ? parent.pid() : goneParent();
    ToolProcess guard(FNGUARD_TOOL, guardArguments(parentPid), home.root, [&] { receiver.becomeDevLog(); });
    if (waits) {
      awaitWatching(guard.pid());
      ::kill(priority ? parent.pid() : guard.pid(), SIGTERM);
    }
    const int status = exitStatus(guard.statusWithin(10s));
    if (status == LogReceiver::unavailable)
      GTEST_SKIP() << "this system does not allow a private mount namespace";
    EXPECT_EQ(status, priority == 0 ? 128 + SIGTERM : priority == 11);
    const auto records = receiver.records(priority ? 5s : 500ms);
    ASSERT_EQ(records.size(), priority ? 1u : 0u);
    if (priority) {
      const std::string expected = std::regex_replace(text, std::regex("%d"), std::to_string(parentPid));
      const std::regex record("<" + std::to_string(priority) + R"(>[A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d )" +
                              std::regex_replace(FNGUARD_LOG_SUBSYSTEM, std::regex(R"(\.)"), R"(\.)") + "\\[" +
                              std::to_string(guard.pid()) + "\\]: fnguard: " + expected);
      EXPECT_TRUE(std::regex_match(records[0], record)) << records[0];
    }
  }
}
#endif

} // namespace
