// SPDX-License-Identifier: Apache-2.0
// The reference applications (C++ and C) as real processes, killed: the
// removal is left to the detached guard.
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include <fcntl.h>

#if !defined(__APPLE__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <sstream>

using namespace FnRemapKit;
using namespace TestSupport;
using FnRemapMapping::entry;

namespace {

// Someone else's use of the Fn key between two neighbours: the install
// displaces it, and the guard must bring it back.
const KeyMappingList original = {entry(0x700000039, 0x7000000E0), {{"Other", -1}},
                                 entry(FnRemapMapping::fnSource, 0x700000068)};

#if defined(__APPLE__)
/// What the shell command line \p command prints on standard output.
std::string commandOutput(const std::string &command) {
  std::string output;
  if (FILE *pipe = ::popen(command.c_str(), "r")) {
    for (int c; (c = std::fgetc(pipe)) != EOF;)
      output += static_cast<char>(c);
    ::pclose(pipe);
  }
  return output;
}
#endif

// (Their normal quit is the scripts' check, and the cleanup test's.)
class ParentAppTest : public KeyMappingTest, public testing::WithParamInterface<const char *> {
protected:
  ParentAppTest() : KeyMappingTest(original) {}
  // Starts the application and returns its guards' pids once the remaps are
  // installed: the C++ one remaps Fn on both of Apple's pages, the C one on
  // the first.
  std::vector<pid_t> start() {
#if !defined(__APPLE__)
    EXPECT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); // the guard outlives the application: we reap it
#endif
    // A stray inheritable descriptor (dup2 makes it so) and ignored signals,
    // none of which the guard may inherit; with SIGCHLD ignored the system
    // reaps the application's children, the guard among them.
    app.emplace(GetParam(), std::vector<std::string>{"parent-app", FNGUARD_TOOL}, root, [] {
      ::dup2(::open("/dev/zero", O_RDONLY | O_CLOEXEC), 9);
      ::signal(SIGUSR1, SIG_IGN);
      ::signal(SIGCHLD, SIG_IGN);
    });
    const std::size_t sessions = std::string_view(GetParam()) == PARENT_APP ? 2 : 1;
    std::vector<pid_t> guards;
    const auto installed = [&] {
      guards.clear();
      std::istringstream lines(app->standardOutput());
      int guard = -1;
      for (std::string line; std::getline(lines, line);)
        if (std::sscanf(line.c_str(), "parent-app %*d: fn remap installed, guard %d", &guard) == 1)
          guards.push_back(guard);
      return guards.size() == sessions;
    };
    if (!eventually(installed))
      ADD_FAILURE() << "the application never installed the remaps: " << app->standardOutput() << app->standardError();
    return guards;
  }
  std::optional<ToolProcess> app;
};

TEST_P(ParentAppTest, AKilledApplicationLeavesItToTheDetachedGuard) {
  const auto guards = start();
  ASSERT_FALSE(guards.empty());
  const pid_t guard = guards.front();
  ASSERT_GT(guard, 0);
  EXPECT_EQ(::getsid(guard), guard) << "the guard must lead its own session";
#if defined(__APPLE__)
  ::kill(app->pid(), SIGKILL);
  eventually([&] { return ::kill(guard, 0) != 0; }); // it is launchd's child now
  const std::string record = "parent " + std::to_string(app->pid()) + " exited, removed the fn remap";
  std::string records;
  for (int i = 0; i < 50 && records.find(record) == std::string::npos; ++i, sleep_for(200ms))
    records = commandOutput("log show --last 5m --style compact --predicate 'subsystem == \"" FNGUARD_LOG_SUBSYSTEM
                            "\" AND category == \"fnguard\"'");
  EXPECT_NE(records.find(record), std::string::npos) << records;
#else
  std::vector<std::string> descriptors;
  const auto open = [&] {
    descriptors.clear();
    // A guard that has exited is reaped at once (its application ignores
    // SIGCHLD): its listing is then empty, a failure reported, not thrown.
    std::error_code gone, racing; // racing: one closing as we read
    for (std::filesystem::directory_iterator fd("/proc/" + std::to_string(guard) + "/fd", gone), end;
         !gone && fd != end; fd.increment(gone)) {
      const std::string link = std::filesystem::read_symlink(fd->path(), racing).string();
      descriptors.push_back(fd->path().filename().string() + " " + (link.starts_with("pipe:") ? "pipe" : link));
    }
    std::ranges::sort(descriptors);
    return descriptors;
  };
  // The pipe it reported on (3) stays open while it watches, its end of
  // file the application's word that it no longer does; its stop signals'
  // pipe (4, 5) is its own.
  const std::vector<std::string> expected = {"0 /dev/null", "1 /dev/null", "2 /dev/null", "3 pipe", "4 pipe",
                                             "5 pipe", "6 anon_inode:[pidfd]"};
  EXPECT_TRUE(eventually([&] { return open() == expected; }, 2s)) << testing::PrintToString(descriptors);
  // Its standard streams read and write as standard streams do: a usage
  // error or a library's warning on stderr goes nowhere, but not as EBADF.
  for (const auto &[fd, mode] : {std::pair{0, O_RDONLY}, {1, O_WRONLY}, {2, O_WRONLY}}) {
    const std::string info = readFile("/proc/" + std::to_string(guard) + "/fdinfo/" + std::to_string(fd));
    const auto flags = info.find("flags:");
    if (flags == std::string::npos) { // a guard gone already: reported above, and the cleanup below must run
      ADD_FAILURE() << "descriptor " << fd << ": " << info;
      continue;
    }
    EXPECT_EQ(std::stoi(info.substr(flags + 6), nullptr, 8) & O_ACCMODE, mode) << "descriptor " << fd << ": " << info;
  }
  // The application blocks its quit signals and ignores SIGUSR1; the guard
  // blocks no standard signal (glibc's own real-time ones aside) and
  // ignores only SIGPIPE, of its own accord.
  const std::string status = readFile("/proc/" + std::to_string(guard) + "/status");
  for (const auto &[field, expected] : {std::pair{"SigBlk:", 0u}, {"SigIgn:", 1u << (SIGPIPE - 1)}}) {
    const auto at = status.find(field);
    if (at == std::string::npos) { // as above: a guard gone must not skip the cleanup
      ADD_FAILURE() << field << " missing: " << status;
      continue;
    }
    EXPECT_EQ(std::stoull(status.substr(at + 8, 16), nullptr, 16) & 0x7fffffff, expected) << status;
  }
  ::kill(app->pid(), SIGKILL);
  for (const pid_t each : guards)
    EXPECT_EQ(waitFor(each, 10s), 0);
#endif
  // The guard puts back what the install displaced, as a normal quit would.
  EXPECT_EQ(store.read(), original);
}

INSTANTIATE_TEST_SUITE_P(Reference, ParentAppTest, testing::Values(PARENT_APP, C_PARENT_APP),
                         [](const auto &app) { return app.index == 0 ? "Cpp" : "C"; });

} // namespace
