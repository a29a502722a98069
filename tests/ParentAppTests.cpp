// SPDX-License-Identifier: Apache-2.0
// The reference applications (C++ and C) as real processes, killed: the
// removal is left to the detached guard. (Their normal quit is the scripts'
// check, and the cleanup test's.)
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

using namespace FnRemapKit;
using namespace TestSupport;
using FnRemapMapping::entry;

namespace {

// Someone else's use of the Fn key between two neighbours: the install
// displaces it, and the guard must bring it back.
const KeyMappingList original = {entry(0x700000039, 0x7000000E0), {{"Other", -1}},
                                 entry(FnRemapMapping::fnSource, 0x700000068)};

/// The number after \p field in \p text, a /proc file, read in \p base; all
/// bits set when it is not there (a guard gone already, which must not skip
/// the cleanup by a throw).
[[maybe_unused]] unsigned long long number(const std::string &text, const std::string &field, int base) {
  const auto at = text.find(field);
  return at == std::string::npos ? ~0ull : std::stoull(text.substr(at + field.size()), nullptr, base);
}

class ParentAppTest : public KeyMappingTest, public testing::WithParamInterface<const char *> {
protected:
  ParentAppTest() : KeyMappingTest(original) {}
};

// The application starts with a stray inheritable descriptor (dup2 makes it
// so) and ignored signals, none of which the guard may inherit; with
// SIGCHLD ignored the system reaps the application's children, the guard
// among them. The C++ one remaps Fn on both of Apple's pages, the C one on
// the first.
TEST_P(ParentAppTest, AKilledApplicationLeavesItToTheDetachedGuard) {
#if !defined(__APPLE__)
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); // the guard outlives the application: we reap it
#endif
  ToolProcess app(GetParam(), {"parent-app", FNGUARD_TOOL}, root, [] {
    ::dup2(::open("/dev/zero", O_RDONLY | O_CLOEXEC), 9);
    ::signal(SIGUSR1, SIG_IGN);
    ::signal(SIGCHLD, SIG_IGN);
  });
  std::vector<pid_t> guards;
  EXPECT_TRUE(eventually([&] {
    guards.clear();
    std::istringstream lines(app.standardOutput());
    for (std::string line; std::getline(lines, line);)
      if (int guard = -1; std::sscanf(line.c_str(), "parent-app %*d: fn remap installed, guard %d", &guard) == 1)
        guards.push_back(guard);
    return guards.size() == (std::string_view(GetParam()) == PARENT_APP ? 2u : 1u);
  })) << "the application never installed the remaps: " << app.standardOutput() << app.standardError();
  ASSERT_TRUE(!guards.empty() && guards.front() > 0);
  const pid_t guard = guards.front();
  EXPECT_EQ(::getsid(guard), guard) << "the guard must lead its own session";
#if defined(FNREMAPKIT_APPLE_FAKES)
  // POSIX_SPAWN_CLOEXEC_DEFAULT, which the fakes honour, is what keeps the
  // stray descriptor from the guard on a Mac.
  EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(guard) + "/fd/9"));
#endif
#if defined(__APPLE__)
  ::kill(app.pid(), SIGKILL);
  eventually([&] { return ::kill(guard, 0) != 0; }); // it is launchd's child now
  const std::string record = "parent " + std::to_string(app.pid()) + " exited, removed the fn remap";
  std::filesystem::create_directories(root / "log");
  std::string records;
  for (int i = 0; i < 50 && records.find(record) == std::string::npos; ++i, sleep_for(200ms)) {
    ToolProcess log("/bin/sh", {"sh", "-c", "log show --last 5m --style compact --predicate 'subsystem == \"" FNGUARD_LOG_SUBSYSTEM
                    "\" AND category == \"fnguard\"'"}, root / "log");
    log.wait();
    records = log.standardOutput();
  }
  EXPECT_NE(records.find(record), std::string::npos) << records;
#else
  const std::string proc = "/proc/" + std::to_string(guard) + "/";
  // The pipe it reported on (3) stays open while it watches, its end of
  // file the application's word that it no longer does; its stop signals'
  // pipe (4, 5) is its own.
  std::vector<std::string> descriptors;
  EXPECT_TRUE(eventually([&] {
    descriptors.clear();
    // Listed as the guard exits, it may be empty: a failure reported, not
    // thrown. racing: one closing as we read.
    std::error_code gone, racing;
    for (std::filesystem::directory_iterator fd(proc + "fd", gone), end; !gone && fd != end; fd.increment(gone)) {
      const std::string link = std::filesystem::read_symlink(fd->path(), racing).string();
      descriptors.push_back(fd->path().filename().string() + " " + (link.starts_with("pipe:") ? "pipe" : link));
    }
    std::ranges::sort(descriptors);
    return descriptors == std::vector<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null", "3 pipe", "4 pipe",
                                                   "5 pipe", "6 anon_inode:[pidfd]"};
  }, 2s)) << testing::PrintToString(descriptors);
  // Its standard streams read and write as standard streams do: a usage
  // error or a library's warning on stderr goes nowhere, but not as EBADF.
  for (const auto &[fd, mode] : {std::pair{0, O_RDONLY}, {1, O_WRONLY}, {2, O_WRONLY}})
    EXPECT_EQ(number(readFile(proc + "fdinfo/" + std::to_string(fd)), "flags:", 8) & O_ACCMODE, unsigned(mode)) << fd;
  // The application blocks its quit signals and ignores SIGUSR1; the guard
  // blocks no standard signal (glibc's own real-time ones aside) and
  // ignores only SIGPIPE, of its own accord.
  const std::string status = readFile(proc + "status");
  EXPECT_EQ(number(status, "SigBlk:", 16) & 0x7fffffff, 0u) << status;
  EXPECT_EQ(number(status, "SigIgn:", 16) & 0x7fffffff, 1u << (SIGPIPE - 1)) << status;
  ::kill(app.pid(), SIGKILL);
  for (const pid_t each : guards)
    EXPECT_EQ(waitFor(each, 10s), 0);
#endif
  // The guard puts back what the install displaced, as a normal quit would.
  EXPECT_EQ(store.read(), original);
}

INSTANTIATE_TEST_SUITE_P(Reference, ParentAppTest, testing::Values(PARENT_APP, C_PARENT_APP),
                         [](const auto &app) { return app.index == 0 ? "Cpp" : "C"; });

} // namespace
