// SPDX-License-Identifier: Apache-2.0
// A session at its edges: an application short of descriptors, a guard that
// cannot reach the key mapping, and a release while another process holds
// the key mapping's lock. Each runs the application as a forked child of its
// own, so that what it does to its limits and children stays there.
#include "support/TestSupport.hpp"

#include "process/GuardLaunch.hpp"

#include <FnRemapKit/FnRemapKit.h>
#include <FnRemapKit/FnRemapKit.hpp>

#include <gmock/gmock.h>

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

long millisecondsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

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

std::string describe(const std::set<pid_t> &pids) {
  std::string text = "{";
  for (const pid_t pid : pids)
    text += (text.size() > 1 ? " " : "") + std::to_string(pid);
  return text + "}";
}

// An application short of descriptors: at every limit, from one at which
// not even the report pipe can be made to one at which begin() succeeds,
// begin() either leaves exactly the session's guard running, under its pid,
// or fails and leaves none; end() then leaves none. With process
// descriptors, and without them (refused, as some sandboxes do), when the
// child handle reads /proc for each check.
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
      const rlimit low{limit, usual.rlim_max};
      std::optional<FnRemapSession> session;
      std::string failure;
      if (::setrlimit(RLIMIT_NOFILE, &low) != 0)
        return "cannot set the limit";
      try {
        session.emplace(FnRemapSession::begin(FNGUARD_TOOL, ours));
      } catch (const std::exception &error) {
        failure = error.what();
      }
      ::setrlimit(RLIMIT_NOFILE, &usual); // so that /proc can be read
      const auto running = children();
      const pid_t guard = session ? session->guardPid() : 0;
      if (session && (guard == 0 || running != std::set<pid_t>{guard}))
        return "began, but the guard is " + std::to_string(guard) + " and the children " + describe(running);
      if (!session && !running.empty())
        return "failed (" + failure + "), but left the children " + describe(running);
      if (session && !session->end().restored)
        return "began, but did not end";
      if (!noChildren())
        return "ended, but left the children " + describe(children());
      return session ? "began" : "failed: " + failure;
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

// Programs standing in for a guard that says why it cannot reach the key
// mapping: on the pipe, then end of file, and it exits 1. What it says is
// cut to 255 bytes, without its newline. One that says so and then keeps
// the pipe open is waited for only as long as a silent one; one that says
// "\n" is watching.
TEST_F(SessionEdgesTest, AGuardThatCannotReachTheKeyMappingSaysWhy) {
  const std::string cannot = " cannot reach the key mapping: ";
  const Process::ShortenedReadyBound bound(2s); // the one that stays is waited for this long, no other
  const auto start = std::chrono::steady_clock::now();
  for (const auto &[name, body, reason] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"says-why", "printf 'no state directory\\n' >&\"$FNGUARD_READY_FD\"; exit 1", "no state directory"},
           {"no-newline", "printf 'cannot open it' >&\"$FNGUARD_READY_FD\"; exit 1", "cannot open it"},
           {"long", "head -c 300 /dev/zero | tr '\\0' x >&\"$FNGUARD_READY_FD\"; exit 1", std::string(255, 'x')},
           {"says-and-stays", "printf 'busy\\n' >&\"$FNGUARD_READY_FD\"; exec sleep 60", "busy"}}) {
    const std::string guardPath = script(root / name, body);
    EXPECT_THAT([&] { FnRemapSession::begin(guardPath, ours); },
                fails(FnRemapSessionError::Code::guardCannotReach, "the guard at " + guardPath + cannot + reason));
    EXPECT_TRUE(noChildren()) << name << " was left running";
    EXPECT_EQ(store.read(), original);
  }
  EXPECT_LT(millisecondsSince(start), 5000) << "a guard that said why was waited for as one that said nothing";

  // One that is watching and, unlike a guard, does not end on SIGTERM: it
  // is killed after half a second.
  auto session = FnRemapSession::begin(
      script(root / "watching", "trap '' TERM\nprintf '\\n' >&\"$FNGUARD_READY_FD\"\nexec sleep 60"), ours);
  EXPECT_GT(session.guardPid(), 0);
  EXPECT_EQ(store.read(), FnRemapMapping::merging(original, ours));
  const auto ending = std::chrono::steady_clock::now();
  EXPECT_TRUE(session.end().restored);
  EXPECT_LT(millisecondsSince(ending), 1500) << "ending the guard was not bounded by 0.5 s and 0.5 s";
  EXPECT_TRUE(noChildren());
  EXPECT_EQ(store.read(), original);
}

#if defined(PR_SET_CHILD_SUBREAPER)
// A release after an end() that failed because another process held the
// lock: through the C interface and the C++ destructor, with the lock still
// held and with it let go meanwhile. The release tries the lock once: held,
// it returns at once and keeps the guard, which removes the entry when the
// application exits (this test, a subreaper, then reaps it); let go, it
// restores the list and ends the guard.
struct Release {
  const char *name;
  bool throughC;
  bool lockHeld;
};

void PrintTo(const Release &release, std::ostream *out) { *out << release.name; }

class ReleaseTest : public SessionEdgesTest, public testing::WithParamInterface<Release> {};

TEST_P(ReleaseTest, AfterAFailedEndItIsBoundedAndLeavesTheGuardItsWork) {
  // Not a structured binding, which clang 14 does not let a lambda capture.
  const bool throughC = GetParam().throughC, lockHeld = GetParam().lockHeld;
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  Application application([&]() -> std::string {
    FnRemapSessionRef handle = nullptr;
    std::optional<FnRemapSession> session;
    if (throughC)
      handle = FnRemapSessionBegin(FNGUARD_TOOL, FnRemapFnSource, FnRemapFnDestination, nullptr, 0);
    else
      session.emplace(FnRemapSession::begin(FNGUARD_TOOL, ours));
    const pid_t guard = throughC ? FnRemapSessionGetGuardPID(handle) : session->guardPid();
    if (guard <= 0)
      return "no session";
    auto holder = holdLock(1h);
    if (!holder)
      return "the lock was never held";
    auto start = std::chrono::steady_clock::now();
    std::string message;
    if (throughC) {
      char error[256] = "";
      FnRemapErrorCode code = FnRemapErrorNone;
      if (!FnRemapSessionEndWithCode(handle, &code, error, sizeof error))
        message = std::to_string(code) + " " + error;
    } else {
      const auto ending = session->end();
      message = std::to_string(int(ending.code)) + " " + ending.message;
    }
    const long ending = millisecondsSince(start);
    if (!lockHeld)
      holder.reset();
    start = std::chrono::steady_clock::now();
    throughC ? FnRemapSessionFree(handle) : session.reset();
    const long release = millisecondsSince(start);
    const bool kept = ::waitpid(guard, nullptr, WNOHANG) == 0;
    holder.reset(); // so that the guard need not wait for the lock
    return std::to_string(guard) + " " + std::to_string(ending) + " " + std::to_string(release) + " " +
           (kept ? "kept" : "ended") + " " + (noChildren() ? "none" : "some") + " " + message;
  });
  std::istringstream report(application.report());
  pid_t guard = 0;
  long ending = -1, release = -1;
  std::string kept, left, message;
  report >> guard >> ending >> release >> kept >> left >> std::ws;
  std::getline(report, message);
  ASSERT_GT(guard, 0) << report.str();
  EXPECT_EQ(message, std::to_string(FnRemapErrorLocked) + " the key mapping is locked by another process");
  EXPECT_TRUE(ending >= 1900 && ending < 5000) << "end() waited " << ending << " ms for the lock";
  EXPECT_LT(release, 1500) << "the release took " << release << " ms";
  if (lockHeld) {
    EXPECT_EQ(kept, "kept") << "the release ended a guard whose entry was still in place";
    EXPECT_EQ(waitFor(guard, 10s), 0) << "the guard did not remove the entry at the application's exit";
  } else {
    EXPECT_EQ(kept, "ended");
    EXPECT_EQ(left, "none") << "the release left a child";
  }
  EXPECT_EQ(store.read(), original);
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_TRUE(noChildren());
}

INSTANTIATE_TEST_SUITE_P(Releases, ReleaseTest,
                         testing::Values(Release{"FreeWithTheLockHeld", true, true},
                                         Release{"FreeWithTheLockLetGo", true, false},
                                         Release{"DestructorWithTheLockHeld", false, true},
                                         Release{"DestructorWithTheLockLetGo", false, false}),
                         [](const auto &release) { return release.param.name; });
#endif

} // namespace
