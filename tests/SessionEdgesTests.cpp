// SPDX-License-Identifier: Apache-2.0
// A session at its edges: an application short of descriptors, and a
// release while another process holds the key mapping's lock. Each runs the
// application as a forked child of its own, so that what it does to its
// limits and children stays there.
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.h>
#include <FnRemapKit/FnRemapKit.hpp>

#include <sys/resource.h>
// Linux's subreaper, which the macOS branch built on Linux has as well.
#if !defined(__APPLE__) || defined(FNREMAPKIT_APPLE_FAKES)
#include <sys/prctl.h>
#endif

#include <set>

using namespace FnRemapKit;
using namespace TestSupport;
using FnRemapMapping::entry;

namespace {

const KeyMappingEntry ours = entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
// No entry of the user's for the Fn key: once the guard removes ours, the
// list is as it was.
const KeyMappingList original = {entry(0x700000039, 0x7000000E0), {{"Other", -1}}};

struct SessionEdgesTest : KeyMappingTest {
  SessionEdgesTest() : KeyMappingTest(original) {}
};

/// A forked child that runs \p body and hands the test the line of text it
/// returns, once it has exited.
class Application : public Talker {
public:
  explicit Application(const std::function<std::string()> &body) : Talker([&](int out, int) { say(out, body()); }) {}
  /// What the body said, once it has exited within \p limit; what went
  /// wrong instead when it did not return.
  std::string report(std::chrono::milliseconds limit = 30s) {
    const int status = wait(limit);
    const std::string said = line(0ms).value_or("");
    return status == 0 ? said : "the application ended with status " + std::to_string(status) + ": " + said;
  }
};

#if !defined(__APPLE__)
/// This process's children, running or not yet reaped, as every thread's
/// list shows them: a child belongs to the thread that started it.
std::set<pid_t> children() {
  std::set<pid_t> found;
  for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::istringstream list(readFile(task.path() / "children"));
    for (pid_t pid = 0; list >> pid;)
      found.insert(pid);
  }
  return found;
}

// An application short of descriptors: at every limit, from one at which
// not even the report pipe can be made to one at which begin() succeeds,
// begin() either leaves exactly the session's guard running, under its pid,
// or fails and leaves none; end() then leaves none. Through the C
// interface, whose calls are the class's and which says what failed without
// a throw. With process descriptors, and without them (refused, as some
// sandboxes do), when the child handle reads /proc for each check.
class DescriptorLimitTest : public SessionEdgesTest, public testing::WithParamInterface<bool> {};

TEST_P(DescriptorLimitTest, BeginLeavesItsGuardTrackedOrEndedAtEveryLimit) {
  // The sanitizers' checks themselves open descriptors (UBSan's of a
  // vptr reads memory through a pipe), and fail for want of them.
  if (sanitized)
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
  const bool descriptors = GetParam();
  bool began = false, failed = false;
  for (rlim_t limit = 3; limit <= 64 && !began; ++limit) {
    Application application([&]() -> std::string {
      if (!descriptors && !refuseProcessDescriptors())
        return "skip";
      rlimit usual{};
      ::getrlimit(RLIMIT_NOFILE, &usual);
      if (const rlimit low{limit, usual.rlim_max}; ::setrlimit(RLIMIT_NOFILE, &low) != 0)
        return "cannot set the limit";
      char error[256] = "";
      FnRemapSessionRef session = FnRemapSessionBegin(FNGUARD_TOOL, FnRemapFnSource, FnRemapFnDestination, error, sizeof error);
      ::setrlimit(RLIMIT_NOFILE, &usual); // so that /proc can be read
      const pid_t guard = FnRemapSessionGetGuardPID(session);
      const std::string said = session ? "began" : "failed: " + std::string(error);
      if (const auto running = children(); running != (session ? std::set{guard} : std::set<pid_t>{}))
        return "the guard " + std::to_string(guard) + " and the children " + testing::PrintToString(running) + " after it " + said;
      const bool ended = !session || FnRemapSessionEnd(session, nullptr, 0);
      FnRemapSessionFree(session);
      if (!ended)
        return "began, but did not end";
      return noChildren() ? said : "ended, but left the children " + testing::PrintToString(children());
    });
    const std::string report = application.report();
    if (report == "skip")
      GTEST_SKIP() << "no seccomp filter can be set here";
    SCOPED_TRACE("RLIMIT_NOFILE " + std::to_string(limit) + ": " + report);
    began = report == "began";
    failed = failed || report.starts_with("failed: ");
    EXPECT_TRUE(began || report.starts_with("failed: ")) << report;
    EXPECT_EQ(store.read(), original);
  }
  EXPECT_TRUE(failed) << "no limit was low enough to make begin() fail";
  EXPECT_TRUE(began) << "begin() never succeeded";
}

INSTANTIATE_TEST_SUITE_P(ProcessDescriptors, DescriptorLimitTest, testing::Bool(),
                         [](const auto &with) { return with.param ? "Used" : "Refused"; });
#endif

#if defined(PR_SET_CHILD_SUBREAPER)
// A release after an end() that failed because another process held the
// lock, with the lock still held and with it let go meanwhile. The release
// (FnRemapSessionFree, which is the C++ destructor) tries the lock once:
// held, it returns at once and keeps the guard, which removes the entry when
// the application exits (this test, a subreaper, then reaps it); let go, it
// restores the list and ends the guard.
class ReleaseTest : public SessionEdgesTest, public testing::WithParamInterface<bool> {};

TEST_P(ReleaseTest, AfterAFailedEndItIsBoundedAndLeavesTheGuardItsWork) {
  const bool lockHeld = GetParam();
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  Application application([&]() -> std::string {
    FnRemapSessionRef session = FnRemapSessionBegin(FNGUARD_TOOL, FnRemapFnSource, FnRemapFnDestination, nullptr, 0);
    const pid_t guard = FnRemapSessionGetGuardPID(session);
    auto holder = holdLock(1h);
    if (guard <= 0 || !holder)
      return "no session, or the lock was never held";
    char error[256] = "";
    FnRemapErrorCode code = FnRemapErrorNone;
    auto start = std::chrono::steady_clock::now();
    FnRemapSessionEndWithCode(session, &code, error, sizeof error);
    const auto ending = (std::chrono::steady_clock::now() - start) / 1ms;
    if (!lockHeld)
      holder.reset();
    start = std::chrono::steady_clock::now();
    FnRemapSessionFree(session);
    const auto release = (std::chrono::steady_clock::now() - start) / 1ms;
    const bool kept = ::waitpid(guard, nullptr, WNOHANG) == 0;
    holder.reset(); // so that the guard need not wait for the lock
    return std::to_string(code) + " " + error + (ending >= 1900 && ending < 5000 ? "" : ", waited " + std::to_string(ending) + " ms") +
           (release < 1500 ? "" : ", released in " + std::to_string(release) + " ms") + (kept ? ", guard kept" : ", guard ended") +
           (noChildren() ? "" : " but a child left");
  });
  EXPECT_EQ(application.report(), std::to_string(FnRemapErrorLocked) + " the key mapping is locked by another process" +
                                      (lockHeld ? ", guard kept but a child left" : ", guard ended"));
  // The guard kept removes the entry at the application's exit.
  EXPECT_EQ(reapAll(), lockHeld ? std::vector{0} : std::vector<int>{});
  EXPECT_EQ(store.read(), original);
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

INSTANTIATE_TEST_SUITE_P(Releases, ReleaseTest, testing::Bool(),
                         [](const auto &held) { return held.param ? "FreeWithTheLockHeld" : "FreeWithTheLockLetGo"; });
#endif

} // namespace
