// The exit watch's call sequences over a scripted system, and the real watch
// on real processes.
#include "FnRemapKit/FnGuard.hpp"
#include "exit-watch/ExitWatch.hpp"
#include "exit-watch/RealSystems.hpp"
#include "support/Processes.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <deque>

using namespace FnRemapKit::ExitWatch;
using namespace std::chrono_literals;
using FnRemapKit::FnGuard::waitForExit;
using TestSupport::Child;

namespace {

// Answers each call from its script and writes the call into a log; the
// last probe answer repeats.
struct ScriptedSystem {
  std::deque<int> probes;
  std::deque<SysResult> opens;    // kqueue() and pidfdOpen()
  std::deque<KernelEvent> waits;  // kevent() and pollReadable()
  std::deque<bool> zombies;
  std::string log;
  KernelEventChange change{};

  template <class T> T next(std::deque<T> &script, std::string call, bool keepLast = false) {
    log += call + " ";
    const T result = script.at(0);
    if (!keepLast || script.size() > 1)
      script.pop_front();
    return result;
  }
  int probe(std::int32_t) { return next(probes, "probe", true); }
  SysResult kqueue() { return next(opens, "kqueue"); }
  SysResult pidfdOpen(std::int32_t) { return next(opens, "pidfd"); }
  KernelEvent kevent(int queue, const KernelEventChange &registered) {
    change = registered;
    return next(waits, "kevent(" + std::to_string(queue) + ")");
  }
  SysResult pollReadable(int fd) { return next(waits, "poll(" + std::to_string(fd) + ")").result; }
  void close(int fd) { log += "close(" + std::to_string(fd) + ") "; }
  bool isZombie(std::int32_t) { return next(zombies, "zombie"); }
  void sleepInterval() { log += "sleep "; }
};

constexpr KernelEvent exited{{1, 0}, 0, 0};
constexpr SysResult fd7{7, 0};
SysResult failure(int error) { return {-1, error}; }
KernelEvent refused(int error) { return {failure(error), 0, 0}; }
KernelEvent refusedInEvent(int error) { return {{1, 0}, eventError, error}; }

struct Case {
  std::deque<int> probes;
  std::deque<SysResult> opens;
  std::deque<KernelEvent> waits;
  std::deque<bool> zombies;
  std::string log;
};

TEST(ExitWatchTest, KernelQueueCallSequences) {
  const std::vector<Case> cases = {
      {{ESRCH}, {}, {}, {}, "probe "},
      {{0}, {failure(EMFILE)}, {}, {}, "probe kqueue "},
      {{EPERM}, {fd7}, {exited}, {}, "probe kqueue kevent(7) close(7) "},
      {{0}, {fd7}, {refused(EINTR), refused(EINTR), {{0, 0}, 0, 0}}, {},
       "probe kqueue kevent(7) kevent(7) kevent(7) close(7) "},
      // Gone before the registration, in either form.
      {{0}, {fd7}, {refused(ESRCH)}, {}, "probe kqueue kevent(7) close(7) "},
      {{0}, {fd7}, {refusedInEvent(ESRCH)}, {}, "probe kqueue kevent(7) close(7) "},
      // Refused for another reason: the interval check takes over.
      {{0, 0, ESRCH}, {fd7}, {refused(EPERM)}, {false}, "probe kqueue kevent(7) close(7) probe zombie sleep probe "},
      {{0}, {fd7}, {refusedInEvent(EACCES)}, {false, true},
       "probe kqueue kevent(7) close(7) probe zombie sleep probe zombie "},
  };
  for (const auto &c : cases) {
    ScriptedSystem system{c.probes, c.opens, c.waits, c.zombies, {}, {}};
    waitWithKernelQueue(system, 4242);
    EXPECT_EQ(system.log, c.log);
  }
  ScriptedSystem system{{0}, {fd7}, {exited}, {}, {}, {}};
  waitWithKernelQueue(system, 4242);
  const auto &c = system.change;
  EXPECT_TRUE(c.ident == 4242u && c.filter == -5 && c.flags == 0x0011 && c.fflags == 0x80000000u &&
              c.data == 0 && c.udata == nullptr);
}

TEST(ExitWatchTest, ProcessDescriptorCallSequences) {
  const std::vector<Case> cases = {
      {{ESRCH}, {}, {}, {}, "probe "},
      {{0}, {failure(ESRCH)}, {}, {}, "probe pidfd "},
      {{EPERM}, {fd7}, {refused(EINTR), exited}, {}, "probe pidfd poll(7) poll(7) close(7) "},
      // No descriptor to be had: check at an interval; a zombie has exited.
      {{0}, {failure(ENOSYS)}, {}, {false, false, true},
       "probe pidfd probe zombie sleep probe zombie sleep probe zombie "},
      // A descriptor that cannot be polled is closed before the fallback.
      {{0, ESRCH}, {fd7}, {refused(ENOMEM)}, {}, "probe pidfd poll(7) close(7) probe "},
  };
  for (const auto &c : cases) {
    ScriptedSystem system{c.probes, c.opens, c.waits, c.zombies, {}, {}};
    waitWithProcessDescriptor(system, 4242);
    EXPECT_EQ(system.log, c.log);
  }
}

// Runs \p wait in a child; true when it returned within \p limit.
bool returnsWithin(const std::function<void()> &wait, std::chrono::milliseconds limit) {
  Child watcher(wait);
  return watcher.statusWithin(limit).has_value();
}

// Exits 9 when a check left a descriptor open: it would hold the lowest
// free number.
void waitByInterval(pid_t pid) {
  PosixSystem system;
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  waitByPolling(system, pid);
  if (::dup(0) != lowestFree)
    ::_exit(9);
}

TEST(ExitWatchProcessTest, ReturnsAtOnceForNoProcessAndForAZombie) {
  Child reaped([] {});
  ASSERT_TRUE(reaped.statusWithin(5s));
  const pid_t gone = reaped.pid();
  Child zombie(TestSupport::sleepForever);
  zombie.killAndLeaveZombie();
  for (const pid_t pid : {gone, zombie.pid(), 0, -1}) {
    SCOPED_TRACE(pid);
    EXPECT_TRUE(returnsWithin([&] { waitForExit(pid); }, 1s));
    EXPECT_TRUE(pid <= 0 || returnsWithin([&] { waitByInterval(pid); }, 1s));
  }
}

TEST(ExitWatchProcessTest, ReturnsRightAfterAKillAndNotBefore) {
  for (const auto wait : {+[](pid_t pid) { waitForExit(pid); }, +[](pid_t pid) { waitByInterval(pid); }}) {
    Child target(TestSupport::sleepForever);
    Child watcher([&] { wait(target.pid()); });
    EXPECT_FALSE(watcher.statusWithin(300ms)) << "returned while the target lived";
    ::kill(target.pid(), SIGKILL);
    EXPECT_TRUE(target.statusWithin(5s));
    EXPECT_EQ(TestSupport::exitStatus(watcher.statusWithin(500ms)), 0) << "the interval check is 50 ms"; // ten times over
  }
}

TEST(ExitWatchProcessTest, WaitsForAProcessOfAnotherUser) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to run processes as two other users";
  Child target([] { ::setuid(54321) == 0 ? TestSupport::sleepForever() : ::_exit(2); });
  Child watcher([&] {
    // The probe must meet EPERM for this test to mean anything.
    if (::setuid(54322) != 0 || ::kill(target.pid(), 0) == 0 || errno != EPERM)
      ::_exit(2);
    waitForExit(target.pid());
  });
  EXPECT_FALSE(watcher.statusWithin(300ms)) << "did not wait for the other user's process";
  ::kill(target.pid(), SIGKILL);
  EXPECT_EQ(TestSupport::exitStatus(watcher.statusWithin(1s)), 0);
}

void ignoreSignal(int) {}

// The watcher counts its own voluntary context switches while it waits and
// exits with the count: a handled signal must not end the wait, and nothing
// but the signals may wake it.
TEST(ExitWatchProcessTest, AHandledSignalNeitherEndsTheWaitNorIsTheOnlyWakeUp) {
  Child target(TestSupport::sleepForever);
  Child watcher([&] {
    struct sigaction action {};
    action.sa_handler = ignoreSignal; // no SA_RESTART: the wait sees EINTR
    ::sigaction(SIGUSR1, &action, nullptr);
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    waitForExit(target.pid());
    ::getrusage(RUSAGE_SELF, &after);
    ::_exit(static_cast<int>(std::min<long>(after.ru_nvcsw - before.ru_nvcsw, 100)));
  });
  TestSupport::sleepFor(100ms);
  for (int i = 0; i < 3; ++i) {
    ::kill(watcher.pid(), SIGUSR1);
    TestSupport::sleepFor(50ms);
  }
  TestSupport::sleepFor(1500ms);
  EXPECT_FALSE(watcher.statusWithin(0ms)) << "a handled signal ended the wait";
  ::kill(target.pid(), SIGKILL);
  // One sleep per signal and one for the exit, with room to spare; checking
  // every 50 ms would make some 35.
  const int switches = TestSupport::exitStatus(watcher.statusWithin(1s));
  EXPECT_GE(switches, 0);
  EXPECT_LE(switches, 8);
}

} // namespace
