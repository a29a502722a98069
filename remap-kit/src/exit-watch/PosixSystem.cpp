// SPDX-License-Identifier: Apache-2.0
#include "RealSystems.hpp"

#include "../support/ProcessStat.hpp"

#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/sysctl.h>
#else
#include <sys/syscall.h>
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

// A signal cuts the pause short; the caller checks again, so that is
// harmless. A wake descriptor that poll refuses must not make it a busy loop.
bool PosixSystem::sleepInterval(int wakeFd) {
  pollfd wake{wakeFd, POLLIN, 0};
  if (wakeFd >= 0 && ::poll(&wake, 1, 50) >= 0 && !(wake.revents & (POLLNVAL | POLLERR)))
    return (wake.revents & POLLIN) != 0;
  const timespec interval{0, 50'000'000};
  ::nanosleep(&interval, nullptr);
  return false;
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

// poll skips a negative descriptor, so no wake descriptor needs no case.
SysResult LinuxSystem::await(int fd, int wakeFd) {
  pollfd watch[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  const int result = ::poll(watch, 2, -1);
  if (result < 0)
    return {result, errno};
  if (watch[1].revents & POLLIN)
    return {wakeReported, 0};
  // Only the wake descriptor reported, and not that it is readable.
  if (!watch[0].revents)
    return {-1, EBADF};
  return {exitReported, 0};
}
#endif

} // namespace FnRemapKit::ProcessExit
