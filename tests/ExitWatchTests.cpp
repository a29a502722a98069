// The exit watch's call sequences over a scripted system, and the real watch
// on real processes.
#include "FnRemapKit/FnGuard.hpp"
#include "exit-watch/ExitWatch.hpp"
#include "exit-watch/RealSystems.hpp"
#include "support/TestSupport.hpp"

#include <sys/resource.h>

#include <deque>

using namespace FnRemapKit::ExitWatch;
using namespace TestSupport;
using FnRemapKit::FnGuard::waitForExit;

namespace {

// Answers each call from its script and writes the call into a log; the
// last probe answer repeats.
struct ScriptedSystem {
  std::deque<int> probes;
  std::deque<SysResult> opens = {};   // kqueue() and pidfdOpen()
  std::deque<KernelEvent> waits = {}; // kevent() and pollReadable()
  std::deque<bool> zombies = {};
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

constexpr auto kernelQueue = waitWithKernelQueue<ScriptedSystem>;
constexpr auto processDescriptor = waitWithProcessDescriptor<ScriptedSystem>;

TEST(ExitWatchTest, CallSequences) {
  const std::vector<std::tuple<void (*)(ScriptedSystem &, std::int32_t), ScriptedSystem, std::string>> cases = {
      {kernelQueue, {{ESRCH}}, "probe "},
      {kernelQueue, {{0}, {failure(EMFILE)}}, "probe kqueue "},
      {kernelQueue, {{EPERM}, {fd7}, {exited}}, "probe kqueue kevent(7) close(7) "},
      {kernelQueue, {{0}, {fd7}, {refused(EINTR), refused(EINTR), {{0, 0}, 0, 0}}},
       "probe kqueue kevent(7) kevent(7) kevent(7) close(7) "},
      // Gone before the registration, in either form.
      {kernelQueue, {{0}, {fd7}, {refused(ESRCH)}}, "probe kqueue kevent(7) close(7) "},
      {kernelQueue, {{0}, {fd7}, {refusedInEvent(ESRCH)}}, "probe kqueue kevent(7) close(7) "},
      // Refused for another reason: the interval check takes over.
      {kernelQueue, {{0, 0, ESRCH}, {fd7}, {refused(EPERM)}, {false}},
       "probe kqueue kevent(7) close(7) probe zombie sleep probe "},
      {kernelQueue, {{0}, {fd7}, {refusedInEvent(EACCES)}, {false, true}},
       "probe kqueue kevent(7) close(7) probe zombie sleep probe zombie "},
      {processDescriptor, {{ESRCH}}, "probe "},
      {processDescriptor, {{0}, {failure(ESRCH)}}, "probe pidfd "},
      {processDescriptor, {{EPERM}, {fd7}, {refused(EINTR), exited}}, "probe pidfd poll(7) poll(7) close(7) "},
      // No descriptor to be had: check at an interval; a zombie has exited.
      {processDescriptor, {{0}, {failure(ENOSYS)}, {}, {false, false, true}},
       "probe pidfd probe zombie sleep probe zombie sleep probe zombie "},
      // A descriptor that cannot be polled is closed before the fallback.
      {processDescriptor, {{0, ESRCH}, {fd7}, {refused(ENOMEM)}}, "probe pidfd poll(7) close(7) probe "},
  };
  for (auto [wait, system, log] : cases) {
    wait(system, 4242);
    EXPECT_EQ(system.log, log);
    const auto &c = system.change;
    EXPECT_TRUE(log.find("kevent") == std::string::npos || (c.ident == 4242u && c.filter == -5 && c.flags == 0x0011 &&
                                                            c.fflags == 0x80000000u && !c.data && !c.udata));
  }
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

// Both real ways to wait, the kernel's and the interval check it falls back
// to: at once for a process reaped or a zombie, right after a kill, not before.
TEST(ExitWatchProcessTest, ReturnsWhenTheProcessHasEndedAndNotBefore) {
  // As root, the watcher and the process it waits for run as two other
  // users, so that the watcher's probe meets EPERM.
  const auto asUser = [](uid_t user) {
    if (::geteuid() == 0 && ::setuid(user) != 0)
      ::_exit(2);
  };
  for (const auto wait : {+[](pid_t pid) { waitForExit(pid); }, +[](pid_t pid) { waitByInterval(pid); }}) {
    Child zombie(sleepForever), target([&] { asUser(54321); sleepForever(); });
    ::kill(zombie.pid(), SIGKILL);
    awaitZombie(zombie.pid());
    for (const pid_t pid : {goneProcess(), zombie.pid()}) {
      Child watcher([&] { wait(pid); });
      EXPECT_EQ(watcher.wait(1s), 0) << pid;
    }
    Child watcher([&] { asUser(54322); wait(target.pid()); });
    EXPECT_EQ(watcher.wait(300ms), -1) << "returned while the target lived";
    ::kill(target.pid(), SIGKILL);
    EXPECT_EQ(target.wait(), 128 + SIGKILL);
    EXPECT_EQ(watcher.wait(500ms), 0) << "the interval check is 50 ms"; // ten times over
  }
  // 0 and below name no single process; 1 is init, which outlives us.
  for (const pid_t pid : {0, -1, 1}) {
    Child watcher([&] { waitForExit(pid); });
    EXPECT_EQ(watcher.wait(300ms) == -1, pid == 1) << pid;
  }
}

// The watcher counts its own voluntary context switches while it waits and
// exits with the count: a handled signal must not end the wait, and nothing
// but the signals may wake it.
TEST(ExitWatchProcessTest, AHandledSignalNeitherEndsTheWaitNorIsTheOnlyWakeUp) {
  Child target(sleepForever);
  Child watcher([&] {
    struct sigaction action {};
    action.sa_handler = [](int) {}; // no SA_RESTART: the wait sees EINTR
    ::sigaction(SIGUSR1, &action, nullptr);
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    waitForExit(target.pid());
    ::getrusage(RUSAGE_SELF, &after);
    ::_exit(static_cast<int>(std::min<long>(after.ru_nvcsw - before.ru_nvcsw, 100)));
  });
  awaitWatching(watcher.pid()); // and so past installing its handler
  for (int i = 0; i < 3; ++i, sleep_for(50ms))
    ::kill(watcher.pid(), SIGUSR1);
  EXPECT_EQ(watcher.wait(1500ms), -1) << "a handled signal ended the wait";
  ::kill(target.pid(), SIGKILL);
  // One sleep per signal and one for the exit, with room to spare; checking
  // every 50 ms would make some 35.
  const int switches = watcher.wait(1s);
  EXPECT_TRUE(switches >= 0 && switches <= 8) << switches;
}

} // namespace
