#include "RealSystems.hpp"

#include "../support/ProcessStat.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/sysctl.h>
#endif

namespace FnRemapKit::ProcessExit {

int PosixSystem::probe(std::int32_t pid) {
  return ::kill(pid, 0) == 0 ? 0 : errno;
}

void PosixSystem::close(int fd) { ::close(fd); }

#if defined(__APPLE__)
bool PosixSystem::isZombie(std::int32_t pid) {
  int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
  struct kinfo_proc info {};
  std::size_t size = sizeof info;
  return ::sysctl(name, 4, &info, &size, nullptr, 0) == 0 && size == sizeof info &&
         info.kp_proc.p_stat == SZOMB;
}
#else
// Exited means a zombie (or dead) whose threads have all gone. A process
// whose main thread has ended while others run shows as a zombie too, and
// must not be taken for one that exited: it counts more than one thread.
bool PosixSystem::isZombie(std::int32_t pid) {
  const auto stat = readProcessStat(pid);
  return stat && (stat->state == 'Z' || stat->state == 'X') && stat->threads == 1;
}
#endif

void PosixSystem::sleepInterval() {
  const timespec interval{0, 50'000'000};
  ::nanosleep(&interval, nullptr);
}

#if defined(__linux__)
SysResult LinuxSystem::pidfdOpen(std::int32_t pid) {
#if defined(SYS_pidfd_open)
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  return {static_cast<int>(fd), fd < 0 ? errno : 0};
#else
  (void)pid;
  return {-1, ENOSYS};
#endif
}

SysResult LinuxSystem::await(int fd) {
  pollfd watch{fd, POLLIN, 0};
  const int result = ::poll(&watch, 1, -1);
  return {result, result < 0 ? errno : 0};
}
#endif

} // namespace FnRemapKit::ProcessExit
