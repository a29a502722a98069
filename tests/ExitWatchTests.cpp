// SPDX-License-Identifier: Apache-2.0
// The exit watch's call sequences over a scripted system, and the real watch
// on real processes.
#include "FnRemapKit/FnGuard.hpp"
#include "exit-watch/ExitWatch.hpp"
#include "exit-watch/RealSystems.hpp"
#include "support/ProcessStat.hpp"
#include "support/TestSupport.hpp"

#include <sys/resource.h>
#if defined(__linux__)
#include <pthread.h>
#include <sys/syscall.h>
#endif

#include <deque>

using namespace FnRemapKit::ProcessExit;
using namespace TestSupport;
using FnRemapKit::FnGuard::waitForExit;

namespace {

// Answers each call from its script and writes the call into a log; the
// last probe answer repeats.
struct ScriptedSystem {
  std::deque<int> probes;
  std::deque<SysResult> opens = {}, adds = {}, waits = {}; // opens: kqueue() and pidfdOpen()
  std::deque<bool> zombies = {}, pauses = {};               // pauses: sleepInterval(): woken; none left is false
  std::string log = {};
  KernelEventChange change = {};

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
  SysResult addExitNote(int queue, const KernelEventChange &registered) {
    change = registered;
    return next(adds, "add(" + std::to_string(queue) + ")");
  }
  SysResult await(int fd, int wakeFd) {
    return next(waits, "await(" + std::to_string(fd) + (wakeFd >= 0 ? "," + std::to_string(wakeFd) : "") + ")");
  }
  void close(int fd) { log += "close(" + std::to_string(fd) + ") "; }
  bool isZombie(std::int32_t) { return next(zombies, "zombie"); }
  bool sleepInterval(int wakeFd) {
    const std::string call = wakeFd >= 0 ? "sleep(" + std::to_string(wakeFd) + ")" : "sleep";
    return pauses.empty() ? (log += call + " ", false) : next(pauses, call);
  }
};

constexpr SysResult ok{0, 0}, fd7{7, 0};
SysResult failure(int error) { return {-1, error}; }

// Registers, says so in the log, then waits with the wake descriptor given
// (5, or none): each wait says how it ended, and after a wake-up the next
// one waits on the same registration, until the exit, which leaves the
// registration gone. Nothing after "ready" may come before it.
void watch(bool queue, int wakeFd, ScriptedSystem &system) {
  Registration registration =
      queue ? registerKernelQueue(system, 4242) : registerProcessDescriptor(system, 4242);
  system.log += "ready ";
  for (int i = 0; i < 4; ++i)
    if (awaitExit(system, 4242, registration, wakeFd) == Wake::exited) {
      system.log += registration.kind == Registration::Kind::gone ? "exited " : "exited-but-registered ";
      return;
    } else {
      system.log += "woken ";
    }
}

TEST(ExitWatchTest, CallSequences) {
  constexpr SysResult wake{wakeReported, 0};
  constexpr bool kq = true, pidfd = false;
  const std::vector<std::tuple<bool, int, ScriptedSystem, std::string>> cases = {
      {kq, -1, {{ESRCH}}, "probe ready exited "},
      {kq, -1, {{EPERM}, {fd7}, {ok}, {ok}}, "probe kqueue add(7) ready await(7) close(7) exited "},
      {kq, -1, {{0}, {fd7}, {failure(EINTR), ok}, {failure(EINTR), failure(EINTR), ok}},
       "probe kqueue add(7) add(7) ready await(7) await(7) await(7) close(7) exited "},
      // Gone before the registration.
      {kq, -1, {{0}, {fd7}, {failure(ESRCH)}}, "probe kqueue add(7) close(7) ready exited "},
      // No queue, a registration refused for another reason, a wait that
      // fails: none proves an exit, so the interval check takes over.
      {kq, -1, {{0, 0, ESRCH}, {failure(EMFILE)}, {}, {}, {false}}, "probe kqueue ready probe zombie sleep probe exited "},
      {kq, -1, {{0, 0}, {fd7}, {failure(EPERM)}, {}, {false, true}},
       "probe kqueue add(7) close(7) ready probe zombie sleep probe zombie exited "},
      {kq, -1, {{0, ESRCH}, {fd7}, {ok}, {failure(ENOMEM)}}, "probe kqueue add(7) ready await(7) close(7) probe exited "},
      {pidfd, -1, {{ESRCH}}, "probe ready exited "},
      {pidfd, -1, {{0}, {failure(ESRCH)}}, "probe pidfd ready exited "},
      {pidfd, -1, {{EPERM}, {fd7}, {}, {failure(EINTR), ok}}, "probe pidfd ready await(7) await(7) close(7) exited "},
      {pidfd, -1, {{0}, {failure(ENOSYS)}, {}, {}, {false, false, true}},
       "probe pidfd ready probe zombie sleep probe zombie sleep probe zombie exited "},
      {pidfd, -1, {{0, ESRCH}, {fd7}, {}, {failure(ENOMEM)}}, "probe pidfd ready await(7) close(7) probe exited "},
      // A wake descriptor ends a wait, and the next waits on after it.
      {pidfd, 5, {{0}, {fd7}, {}, {wake, failure(EINTR), wake, ok}},
       "probe pidfd ready await(7,5) woken await(7,5) await(7,5) woken await(7,5) close(7) exited "},
      {kq, 5, {{0}, {fd7}, {ok}, {wake, ok}}, "probe kqueue add(7) ready await(7,5) woken await(7,5) close(7) exited "},
      // Gone already: no wait looks at the wake descriptor.
      {pidfd, 5, {{ESRCH}}, "probe ready exited "},
      // The interval check looks at it in its pauses.
      {pidfd, 5, {{0, 0, 0, ESRCH}, {failure(ENOSYS)}, {}, {}, {false, false}, {true, false}},
       "probe pidfd ready probe zombie sleep(5) woken probe zombie sleep(5) probe exited "},
      // A descriptor that failed is not waited on again.
      {pidfd, 5, {{0, 0, ESRCH}, {fd7}, {}, {failure(ENOMEM)}, {false, false}, {true}},
       "probe pidfd ready await(7,5) close(7) probe zombie sleep(5) woken probe exited "},
  };
  for (auto [queue, wakeFd, system, log] : cases) {
    watch(queue, wakeFd, system);
    EXPECT_EQ(system.log, log);
    const auto &c = system.change;
    EXPECT_TRUE(log.find("add") == std::string::npos || (c.ident == 4242u && c.filter == -5 && c.flags == 0x0011 &&
                                                         c.fflags == 0x80000000u && !c.data && !c.udata));
  }
}

// Exits 127 when a check left a descriptor open: it would hold the lowest
// free number.
void waitByInterval(pid_t pid) {
  PosixSystem system;
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  waitByPolling(system, pid);
  if (::dup(0) != lowestFree)
    ::_exit(127);
}

// Both real ways to wait: the kernel's, and the interval check it falls
// back to.
void (*const realWaits[])(pid_t) = {[](pid_t pid) { waitForExit(pid); }, waitByInterval};

#if defined(__linux__)
// A process whose main thread has ended while another runs on. The bare
// exit call ends the one thread, unlike pthread_exit, which would unwind
// into the test framework.
void headless() {
  pthread_t thread;
  ::pthread_create(&thread, nullptr, [](void *) -> void * { sleepForever(); }, nullptr);
  ::syscall(SYS_exit, 0);
}
#endif

// At once for a process reaped or a zombie, right after a kill, and not
// before. Linux shows a process whose main thread has ended as a zombie
// while its other thread runs, which neither way to wait may take for an
// exit. (On macOS the exit call ends the whole process.) A handled signal
// (no SA_RESTART: a wait sees EINTR) ends neither; each watcher exits with
// its count of voluntary context switches while it waits, which for the
// kernel's way are the signals' and the exit's alone.
TEST(ExitWatchProcessTest, ReturnsWhenTheProcessHasEndedAndNotBefore) {
  // As root, the watcher and the process it waits for run as two other
  // users, so that the watcher's probe meets EPERM.
  const auto asUser = [](uid_t user) {
    if (::geteuid() == 0 && ::setuid(user) != 0)
      ::_exit(2);
  };
  struct sigaction handled {}, before {}; // set here, so that no watcher meets the signal before its handler
  handled.sa_handler = [](int) {};
  ::sigaction(SIGUSR1, &handled, &before);
  for (const auto wait : realWaits) {
    Child zombie(sleepForever), target([&] { asUser(54321); sleepForever(); });
    ::kill(zombie.pid(), SIGKILL);
    awaitZombie(zombie.pid());
    for (const pid_t pid : {goneProcess(), zombie.pid()}) {
      Child watcher([&] { wait(pid); });
      EXPECT_EQ(watcher.wait(1s), 0) << pid;
    }
    std::vector<std::pair<pid_t, uid_t>> living = {{target.pid(), 54322}};
#if defined(__linux__)
    Child mainless(headless);
    ASSERT_TRUE(eventually([&] {
      const auto stat = FnRemapKit::readProcessStat(mainless.pid());
      return stat && stat->state == 'Z' && stat->threads == 2;
    })) << "the main thread did not end, or took the other with it";
    living.push_back({mainless.pid(), ::geteuid()});
#endif
    for (const auto &live : living) { // a lambda may not capture a binding, as clang 14 has it
      int report[2];
      ASSERT_EQ(::pipe(report), 0);
      Child watcher([&] {
        asUser(live.second);
        ::setenv(FnRemapKit::FnGuard::readyVariable, std::to_string(report[1]).c_str(), 1);
        rusage start{}, end{};
        ::getrusage(RUSAGE_SELF, &start);
        FnRemapKit::FnGuard::reportWatching();
        wait(live.first);
        ::getrusage(RUSAGE_SELF, &end);
        ::_exit(static_cast<int>(std::min<long>(end.ru_nvcsw - start.ru_nvcsw, 100)));
      });
      ::close(report[1]);
      char byte = 0;
      EXPECT_TRUE(::read(report[0], &byte, 1) == 1 && byte == '\n') << "the watcher did not say that it was watching";
      ::close(report[0]);
      for (int i = 0; i < 3; ++i, sleep_for(100ms))
        ::kill(watcher.pid(), SIGUSR1);
      EXPECT_EQ(watcher.wait(300ms), -1) << "returned while the target lived, or on a handled signal";
      ::kill(live.first, SIGKILL);
      // The interval check is 50 ms: ten times over. The kernel's way
      // sleeps once per signal and once for the exit, with room to spare;
      // checking every 50 ms would make some ten.
      const int switches = watcher.wait(500ms);
      EXPECT_TRUE(switches >= 0 && switches <= (wait == realWaits[0] ? 8 : 100)) << switches;
    }
  }
  ::sigaction(SIGUSR1, &before, nullptr);
  // 0 and below name no single process; 1 is init, which outlives us.
  for (const pid_t pid : {0, -1, 1}) {
    Child watcher([&] { waitForExit(pid); });
    EXPECT_EQ(watcher.wait(300ms) == -1, pid == 1) << pid;
  }
}

} // namespace
