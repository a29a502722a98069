// The application's side: sessions run in this process with the real guard
// and the stand-in, and the reference application both ways out.
#include "support/KeyMappingHome.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include <gtest/gtest.h>

#if !defined(__APPLE__)
#include <linux/capability.h>
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <iterator>
#include <regex>

using namespace FnRemapKit;
using namespace TestSupport;
using namespace std::chrono_literals;

namespace {

const KeyMappingEntry ours = FnRemapMapping::entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
// Two neighbours, then someone else's use of the Fn key, which the install
// displaces and a normal quit must bring back.
const KeyMappingList original = {
    FnRemapMapping::entry(0x700000039, 0x7000000E0),
    {{"Other", -1}},
    FnRemapMapping::entry(FnRemapMapping::fnSource, 0x700000068),
};
const KeyMappingList neighbours(original.begin(), original.begin() + 2);

// The real store, refusing writes while told to: as root, nothing in the
// stand-in's own directory makes it refuse a write and still read.
struct RefusingStore {
  HIDKeyMappingStore real;
  std::shared_ptr<bool> refuse = std::make_shared<bool>(false);
  std::optional<KeyMappingList> read() const { return real.read(); }
  bool write(const KeyMappingList &list) const noexcept { return !*refuse && real.write(list); }
};

// True when this process has no child at all, running or not yet reaped.
bool noChildren() { return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

class SessionTest : public testing::Test {
protected:
  void SetUp() override {
    if (const auto why = home.unavailable(); !why.empty())
      GTEST_SKIP() << why;
    ASSERT_TRUE(store.write(original));
  }
  KeyMappingHome home;
  HIDKeyMappingStore store;
};

TEST_F(SessionTest, InstallsWithAWatchingGuardAndRestores) {
  auto session = FnRemapSession::begin(FNGUARD_TOOL, ours);
  const pid_t guard = session.guardPid();
  ASSERT_GT(guard, 0);
  awaitWatching(guard);
  EXPECT_EQ(store.read(), FnRemapMapping::merging(original, ours));
  EXPECT_EQ(session.guardPid(), guard) << "the guard must wait while we run";

  // Someone else adds an entry meanwhile: the restore keeps it.
  const auto current = KeyMappingList{FnRemapMapping::entry(1, 2), ours};
  ASSERT_TRUE(store.write(current));
  const auto ending = session.end();
  EXPECT_TRUE(ending.restored) << ending.message;
  EXPECT_EQ(store.read(), FnRemapMapping::restoring(current, ours, original));
  EXPECT_EQ(session.guardPid(), 0);
  EXPECT_TRUE(noChildren()) << "the guard was not ended and reaped";
  EXPECT_TRUE(session.end().restored);
}

TEST_F(SessionTest, BeginLeavesNothingBehindWhenAStepFails) {
  try {
    FnRemapSession::begin("/nonexistent/tarnwick-fn-guard", ours);
    ADD_FAILURE() << "begun without a guard";
  } catch (const FnRemapSessionError &error) {
    EXPECT_STREQ(error.what(), "cannot start the guard at /nonexistent/tarnwick-fn-guard: No such file or directory");
  }
  RefusingStore refusing;
  *refusing.refuse = true;
  try {
    FnRemapSession::begin(FNGUARD_TOOL, ours, refusing);
    ADD_FAILURE() << "begun over a store that refused the remap";
  } catch (const FnRemapSessionError &error) {
    EXPECT_STREQ(error.what(), "the HID system refused the remap");
  }
#if !defined(__APPLE__)
  const std::string before = home.contents();
  home.put("[");
  try {
    FnRemapSession::begin(FNGUARD_TOOL, ours);
    ADD_FAILURE() << "begun over an unreadable list";
  } catch (const FnRemapSessionError &error) {
    EXPECT_STREQ(error.what(), "cannot read the key mapping: unsupportedShape");
  }
  home.put(before);
#endif
  EXPECT_TRUE(noChildren()) << "a guard was left running";
  EXPECT_EQ(store.read(), original);
}

TEST_F(SessionTest, AFailedEndKeepsTheGuardAndCanBeRetried) {
  RefusingStore refusing;
  auto session = FnRemapSession::begin(FNGUARD_TOOL, ours, refusing);
  *refusing.refuse = true;
  const auto failed = session.end();
  EXPECT_FALSE(failed.restored);
  EXPECT_EQ(failed.message, "the HID system refused the restored list");
  EXPECT_GT(session.guardPid(), 0) << "the guard must stay to remove the entry at our exit";
  *refusing.refuse = false;
  EXPECT_TRUE(session.end().restored);
  EXPECT_EQ(store.read(), original);
  EXPECT_TRUE(noChildren());
}

TEST_F(SessionTest, TheDestructorEndsASessionNotEnded) {
  {
    auto session = FnRemapSession::begin(FNGUARD_TOOL, ours);
    auto moved = std::move(session);
    EXPECT_FALSE(session.end().restored);
  }
  EXPECT_EQ(store.read(), original);
  EXPECT_TRUE(noChildren());
}

TEST_F(SessionTest, AKilledGuardIsReapedAndNoOtherChildIs) {
  Child other([] {});
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(other.pid()), &info, WEXITED | WNOWAIT), 0);
  auto session = FnRemapSession::begin(FNGUARD_TOOL, ours);
  const pid_t guard = session.guardPid();
  ::kill(guard, SIGKILL);
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(guard), &info, WEXITED | WNOWAIT), 0);
  EXPECT_EQ(session.guardPid(), 0);
  EXPECT_EQ(::waitpid(guard, nullptr, WNOHANG), -1) << "the dead guard was not reaped";
  EXPECT_EQ(exitStatus(other.statusWithin(1s)), 0) << "the session reaped a child it did not start";
  EXPECT_TRUE(session.end().restored);
}

TEST_F(SessionTest, TheGuardGetsExactlyOurEntry) {
  for (const auto &[src, dst] : std::vector<std::pair<std::int64_t, std::int64_t>>{
           {INT64_MIN, -26}, {INT64_MAX, 0}}) {
    const auto entry = FnRemapMapping::entry(src, dst);
    auto session = FnRemapSession::begin(FNGUARD_TOOL, entry);
    awaitWatching(session.guardPid());
    std::istringstream shown(commandOutput("ps -ww -o args= -p " + std::to_string(session.guardPid())));
    std::vector<std::string> argv(std::istream_iterator<std::string>(shown), {});
    const std::vector<std::string_view> views(argv.begin(), argv.end());
    EXPECT_EQ(FnGuardArguments::parse(views), FnGuardArguments(::getpid(), entry));
    EXPECT_GT(session.guardPid(), 0) << "the guard refused its command line";
  }
}

TEST(SessionArgumentsTest, OnlyAnEntryOfTheTwoKeysCanBeGuarded) {
  auto wider = ours;
  wider["Other"] = 1;
  for (const auto &entry : {wider, KeyMappingEntry{{std::string(FnRemapMapping::srcKey), 1}}})
    EXPECT_THROW(FnRemapSession::begin(FNGUARD_TOOL, entry), std::invalid_argument);
}

// The reference application, a real process: a normal quit restores the
// list and ends the guard; a kill leaves the removal to the guard.
class ParentAppTest : public SessionTest {
protected:
#if !defined(__APPLE__)
  void SetUp() override {
    SessionTest::SetUp();
    // The guard outlives the application; as subreaper we get to reap it.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  }
#endif

  // Starts the application with a stray inheritable descriptor, and returns
  // the guard's pid once the remap is installed.
  pid_t start() {
    app.emplace(PARENT_APP, std::vector<std::string>{"parent-app", FNGUARD_TOOL}, home.root, [] {
      ::dup2(::open("/dev/zero", O_RDONLY | O_CLOEXEC), 9); // dup2 makes it inheritable
    });
    const std::regex installed(R"(parent-app (\d+): fn remap installed, guard (\d+) watching\n)");
    std::smatch match;
    for (int i = 0; i < 1000; ++i) {
      const std::string out = app->standardOutput();
      if (std::regex_match(out, match, installed)) {
        EXPECT_EQ(std::stoi(match[1]), app->pid());
        return std::stoi(match[2]);
      }
      sleepFor(10ms);
    }
    ADD_FAILURE() << "the application never installed the remap: " << app->standardError();
    return -1;
  }

  std::optional<ToolProcess> app;
};

TEST_F(ParentAppTest, AKilledApplicationLeavesItToTheDetachedGuard) {
  const pid_t guard = start();
  ASSERT_GT(guard, 0);
  awaitWatching(guard);
  EXPECT_EQ(::getsid(guard), guard) << "the guard must lead its own session";
#if defined(__APPLE__)
  ::kill(app->pid(), SIGKILL);
  for (int i = 0; i < 1000 && ::kill(guard, 0) == 0; ++i) // it is launchd's child now
    sleepFor(10ms);
#else
  std::vector<std::string> descriptors;
  for (const auto &fd : std::filesystem::directory_iterator("/proc/" + std::to_string(guard) + "/fd"))
    descriptors.push_back(fd.path().filename().string() + " " + std::filesystem::read_symlink(fd.path()).string());
  std::sort(descriptors.begin(), descriptors.end());
  EXPECT_EQ(descriptors, (std::vector<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null",
                                                   "3 anon_inode:[pidfd]"}));
  ::kill(app->pid(), SIGKILL);
  EXPECT_EQ(exitStatus(statusWithin(guard, 10s)), 0);
#endif
  // What the install displaced is gone with the remap: only a normal quit
  // knows the original list.
  EXPECT_EQ(store.read(), neighbours);
}

TEST_F(ParentAppTest, NormalQuitRestoresAndEndsTheGuard) {
  const pid_t guard = start();
  ASSERT_GT(guard, 0);
  ::kill(app->pid(), SIGTERM);
  EXPECT_EQ(exitStatus(app->statusWithin(10s)), 0) << app->standardError();
  EXPECT_EQ(store.read(), original);
  EXPECT_EQ(::kill(guard, 0), -1) << "the guard outlived a normal quit";
}

#if !defined(__APPLE__)
// As root in a container that may not make mount namespaces, the demo's
// reaper still runs the application, and says why it cannot catch the record.
TEST(OrphanReaperTest, RunsTheCommandWithoutAPrivateDevLog) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, as the demo's -l does";
  KeyMappingHome outputs;
  ToolProcess reaper(ORPHAN_REAPER, {"orphan-reaper", "-l", "/bin/sh", "-c", "exit 3"}, outputs.root,
                     [] { ::prctl(PR_CAPBSET_DROP, CAP_SYS_ADMIN); });
  EXPECT_EQ(exitStatus(reaper.statusWithin(10s)), 3);
  EXPECT_NE(reaper.standardError().find("cannot give the command a /dev/log of its own (Operation "
                                        "not permitted); its records go to the system's"),
            std::string::npos)
      << reaper.standardError();
}
#endif

} // namespace
