// The exit watch's call sequences over a scripted system, and the real watch
// on real processes.
#include "FnRemapKit/FnGuard.hpp"
#include "exit-watch/ExitWatch.hpp"
#include "exit-watch/RealSystems.hpp"
#include "support/Processes.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <string>

using namespace FnRemapKit::ExitWatch;
using namespace std::chrono_literals;
using TestSupport::Child;

namespace {

// Answers each call from its script and writes the call into a log.
struct ScriptedSystem {
  std::deque<int> probes;
  std::deque<SysResult> opens; // kqueue() and pidfdOpen()
  std::deque<KernelEvent> waits; // kevent() and pollReadable()
  std::deque<bool> zombies;
  std::string log;
  KernelEventChange change{};

  template <class T> static T next(std::deque<T> &script) {
    const T result = script.front();
    script.pop_front();
    return result;
  }
  int probe(std::int32_t) {
    log += "probe ";
    const int error = probes.front();
    if (probes.size() > 1)
      probes.pop_front();
    return error;
  }
  SysResult kqueue() { log += "kqueue "; return next(opens); }
  SysResult pidfdOpen(std::int32_t) { log += "pidfd "; return next(opens); }
  KernelEvent kevent(int queue, const KernelEventChange &registered) {
    log += "kevent(" + std::to_string(queue) + ") ";
    change = registered;
    return next(waits);
  }
  SysResult pollReadable(int fd) { log += "poll(" + std::to_string(fd) + ") "; return next(waits).result; }
  void close(int fd) { log += "close(" + std::to_string(fd) + ") "; }
  bool isZombie(std::int32_t) { log += "zombie "; return next(zombies); }
  void sleepInterval() { log += "sleep "; }
};

constexpr KernelEvent ok{{0, 0}, 0, 0};
constexpr KernelEvent exited{{1, 0}, 0, 0};
constexpr SysResult fd7{7, 0};
SysResult failure(int error) { return {-1, error}; }
KernelEvent refused(int error) { return {failure(error), 0, 0}; }
KernelEvent refusedInEvent(int error) { return {{1, 0}, eventError, error}; }

TEST(ExitWatchTest, KernelQueueCallSequences) {
  struct Case {
    std::deque<int> probes;
    std::deque<SysResult> opens;
    std::deque<KernelEvent> waits;
    std::deque<bool> zombies;
    std::string log;
  };
  const std::vector<Case> cases = {
      {{ESRCH}, {}, {}, {}, "probe "},
      {{0}, {failure(EMFILE)}, {}, {}, "probe kqueue "},
      {{0}, {fd7}, {exited}, {}, "probe kqueue kevent(7) close(7) "},
      {{EPERM}, {fd7}, {ok}, {}, "probe kqueue kevent(7) close(7) "},
      {{0}, {fd7}, {refused(EINTR), refused(EINTR), ok}, {},
       "probe kqueue kevent(7) kevent(7) kevent(7) close(7) "},
      // Gone before the registration, in either form.
      {{0}, {fd7}, {refused(ESRCH)}, {}, "probe kqueue kevent(7) close(7) "},
      {{0}, {fd7}, {refusedInEvent(ESRCH)}, {}, "probe kqueue kevent(7) close(7) "},
      // A watch refused for another reason ends nothing: the interval check
      // takes over, after the queue is closed.
      {{0, 0, ESRCH}, {fd7}, {refused(EINTR), refused(EPERM)}, {false},
       "probe kqueue kevent(7) kevent(7) close(7) probe zombie sleep probe "},
      {{0, 0}, {fd7}, {refusedInEvent(EACCES)}, {false, true},
       "probe kqueue kevent(7) close(7) probe zombie sleep probe zombie "},
  };
  for (const auto &c : cases) {
    ScriptedSystem system{c.probes, c.opens, c.waits, c.zombies, {}, {}};
    waitWithKernelQueue(system, 4242);
    EXPECT_EQ(system.log, c.log);
  }
}

TEST(ExitWatchTest, KernelQueueRegistersOneShotExitWatch) {
  ScriptedSystem system{{0}, {fd7}, {ok}, {}, {}, {}};
  waitWithKernelQueue(system, 4242);
  EXPECT_EQ(system.change.ident, 4242u);
  EXPECT_EQ(system.change.filter, -5);
  EXPECT_EQ(system.change.flags, 0x0011);
  EXPECT_EQ(system.change.fflags, 0x80000000u);
  EXPECT_EQ(system.change.data, 0);
  EXPECT_EQ(system.change.udata, nullptr);
}

TEST(ExitWatchTest, ProcessDescriptorCallSequences) {
  struct Case {
    std::deque<int> probes;
    std::deque<SysResult> opens;
    std::deque<KernelEvent> waits;
    std::deque<bool> zombies;
    std::string log;
  };
  const std::vector<Case> cases = {
      {{ESRCH}, {}, {}, {}, "probe "},
      {{0}, {failure(ESRCH)}, {}, {}, "probe pidfd "},
      {{EPERM}, {fd7}, {exited}, {}, "probe pidfd poll(7) close(7) "},
      {{0}, {fd7}, {refused(EINTR), exited}, {}, "probe pidfd poll(7) poll(7) close(7) "},
      // No descriptor to be had: check at an interval; a zombie has exited.
      {{0}, {failure(ENOSYS)}, {}, {false, false, true},
       "probe pidfd probe zombie sleep probe zombie sleep probe zombie "},
      {{0, 0, ESRCH}, {failure(EPERM)}, {}, {false}, "probe pidfd probe zombie sleep probe "},
      // A descriptor that cannot be polled is closed before the fallback.
      {{0, ESRCH}, {fd7}, {refused(ENOMEM)}, {}, "probe pidfd poll(7) close(7) probe "},
  };
  for (const auto &c : cases) {
    ScriptedSystem system{c.probes, c.opens, c.waits, c.zombies, {}, {}};
    waitWithProcessDescriptor(system, 4242);
    EXPECT_EQ(system.log, c.log);
  }
}

#if defined(__linux__)

bool returnsWithin(const std::function<void()> &wait, std::chrono::milliseconds limit) {
  Child watcher(wait);
  return watcher.statusWithin(limit).has_value();
}

long voluntarySwitches(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
      return std::stol(line.substr(24));
  return -1;
}

TEST(ExitWatchProcessTest, ReturnsAtOnceForAPidWithNoProcess) {
  pid_t gone = 0;
  {
    Child child([] {});
    ASSERT_TRUE(child.statusWithin(5s));
    gone = child.pid();
  }
  EXPECT_TRUE(returnsWithin([&] { FnRemapKit::FnGuard::waitForExit(gone); }, 1s));
}

TEST(ExitWatchProcessTest, ReturnsRightAfterAKill) {
  Child target(TestSupport::sleepForever);
  Child watcher([&] { FnRemapKit::FnGuard::waitForExit(target.pid()); });
  EXPECT_FALSE(watcher.statusWithin(300ms)) << "returned while the target lived";
  ::kill(target.pid(), SIGKILL);
  EXPECT_TRUE(target.statusWithin(5s));
  EXPECT_TRUE(watcher.statusWithin(1s));
}

TEST(ExitWatchProcessTest, AZombieHasExitedThroughEitherBackend) {
  Child target(TestSupport::sleepForever);
  target.killAndLeaveZombie();
  EXPECT_TRUE(returnsWithin([&] { FnRemapKit::FnGuard::waitForExit(target.pid()); }, 1s));
  EXPECT_TRUE(returnsWithin([&] {
    PosixSystem system;
    waitByPolling(system, target.pid());
  }, 1s));
}

TEST(ExitWatchProcessTest, WaitsForAProcessOfAnotherUser) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to run processes as two other users";
  Child target([] {
    if (::setuid(65534) != 0) // nobody
      ::_exit(2);
    TestSupport::sleepForever();
  });
  Child watcher([&] {
    if (::setuid(1) != 0) // daemon
      ::_exit(2);
    if (::kill(target.pid(), 0) == 0 || errno != EPERM)
      ::_exit(3); // the probe must meet EPERM for this test to mean anything
    FnRemapKit::FnGuard::waitForExit(target.pid());
  });
  EXPECT_FALSE(watcher.statusWithin(300ms)) << "did not wait for the other user's process";
  ::kill(target.pid(), SIGKILL);
  const auto status = watcher.statusWithin(1s);
  ASSERT_TRUE(status);
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

void ignoreSignal(int) {}

TEST(ExitWatchProcessTest, AHandledSignalDoesNotEndTheWait) {
  Child target(TestSupport::sleepForever);
  Child watcher([&] {
    struct sigaction action {};
    action.sa_handler = ignoreSignal; // no SA_RESTART: the wait sees EINTR
    ::sigaction(SIGUSR1, &action, nullptr);
    FnRemapKit::FnGuard::waitForExit(target.pid());
  });
  TestSupport::sleepFor(100ms);
  for (int i = 0; i < 3; ++i) {
    ::kill(watcher.pid(), SIGUSR1);
    TestSupport::sleepFor(50ms);
  }
  EXPECT_FALSE(watcher.statusWithin(200ms)) << "a handled signal ended the wait";
  ::kill(target.pid(), SIGKILL);
  EXPECT_TRUE(watcher.statusWithin(1s));
}

TEST(ExitWatchProcessTest, MakesNoWakeUpsWhileWaiting) {
  Child target(TestSupport::sleepForever);
  Child watcher([&] { FnRemapKit::FnGuard::waitForExit(target.pid()); });
  TestSupport::sleepFor(200ms);
  const long before = voluntarySwitches(watcher.pid());
  TestSupport::sleepFor(2s);
  EXPECT_GE(before, 0);
  EXPECT_EQ(voluntarySwitches(watcher.pid()), before);
}

#endif

} // namespace
