// The reference application and the guard together, both ways out: a normal
// quit restores the list, a kill leaves it to the guard.
#include "support/GuardProcess.hpp"
#include "support/StateDirectory.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/prctl.h>

#include <algorithm>
#include <sstream>
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

struct ProcState {
  pid_t session;
  std::vector<std::string> descriptors; // what each open descriptor names, by number
};

ProcState procState(pid_t pid) {
  const auto proc = std::filesystem::path("/proc") / std::to_string(pid);
  const std::string stat = readFile(proc / "stat");
  ProcState state{};
  std::istringstream after(stat.substr(stat.rfind(')') + 2));
  std::string status;
  pid_t parent = 0, group = 0;
  after >> status >> parent >> group >> state.session;
  std::vector<std::pair<int, std::string>> fds;
  for (const auto &fd : std::filesystem::directory_iterator(proc / "fd"))
    fds.emplace_back(std::stoi(fd.path().filename()), std::filesystem::read_symlink(fd.path()).string());
  std::sort(fds.begin(), fds.end());
  for (auto &[number, target] : fds)
    state.descriptors.push_back(std::to_string(number) + " " + target);
  return state;
}

class ParentAppTest : public testing::Test {
protected:
  void SetUp() override {
    // The guard outlives the application; as subreaper we get to reap it.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    ASSERT_TRUE(HIDKeyMappingStore().write(original));
  }

  // Starts the application with a stray inheritable descriptor, and returns
  // the guard's pid once the remap is installed.
  pid_t start() {
    app.emplace(PARENT_APP, std::vector<std::string>{"parent-app", FNGUARD_TOOL}, state.root, [] {
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

  // The guard's exit status, once it has been handed to us: until its
  // parent has fully exited, waitpid knows nothing of it.
  static int guardStatus(pid_t guard) { return exitStatus(statusWithin(guard, 10s)); }

  StateDirectory state;
  std::optional<ToolProcess> app;
};

TEST_F(ParentAppTest, StartsTheGuardDetachedWithNothingInherited) {
  const pid_t guard = start();
  ASSERT_GT(guard, 0);
  EXPECT_EQ(HIDKeyMappingStore().read(), FnRemapMapping::merging(original, ours));
  awaitWatching(guard);
  const auto seen = procState(guard);
  EXPECT_EQ(seen.session, guard) << "the guard must lead its own session";
  EXPECT_EQ(seen.descriptors, (std::vector<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null",
                                                        "3 anon_inode:[pidfd]"}));
  ::kill(app->pid(), SIGKILL);
  EXPECT_EQ(guardStatus(guard), 0);
}

TEST_F(ParentAppTest, NormalQuitRestoresTheOriginalList) {
  const pid_t guard = start();
  ASSERT_GT(guard, 0);
  ::kill(app->pid(), SIGTERM);
  const auto status = app->statusWithin(10s);
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << app->standardError();
  EXPECT_EQ(HIDKeyMappingStore().read(), original);

  // The guard then finds nothing to remove and leaves the list alone.
  const std::string restored = state.contents();
  EXPECT_EQ(guardStatus(guard), 0);
  EXPECT_EQ(state.contents(), restored);
}

TEST_F(ParentAppTest, AfterAKillTheGuardRemovesTheRemap) {
  const pid_t guard = start();
  ASSERT_GT(guard, 0);
  ::kill(app->pid(), SIGKILL);
  EXPECT_EQ(guardStatus(guard), 0);
  // What the install displaced is gone with the remap: only a normal quit
  // knows the original list.
  EXPECT_EQ(HIDKeyMappingStore().read(), neighbours);
}

// As root in a container that may not make mount namespaces, the demo's
// reaper still runs the application, and says why it cannot catch the record.
TEST(OrphanReaperTest, RunsTheCommandWithoutAPrivateDevLog) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, as the demo's -l does";
  StateDirectory outputs;
  ToolProcess reaper(ORPHAN_REAPER, {"orphan-reaper", "-l", "/bin/sh", "-c", "exit 3"}, outputs.root,
                     [] { ::prctl(PR_CAPBSET_DROP, CAP_SYS_ADMIN); });
  EXPECT_EQ(exitStatus(reaper.statusWithin(10s)), 3);
  EXPECT_NE(reaper.standardError().find("cannot give the command a /dev/log of its own (Operation "
                                        "not permitted); its records go to the system's"),
            std::string::npos)
      << reaper.standardError();
}

} // namespace
