#include "RealSystems.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/sysctl.h>
#endif

#include <array>
#include <cstdio>
#include <string_view>

namespace FnRemapKit::ExitWatch {

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
// /proc/PID/stat holds "pid (comm) S ...": the state is the first field after
// the last ')', since comm itself may hold parentheses and blanks.
bool PosixSystem::isZombie(std::int32_t pid) {
  std::array<char, 32> path{};
  std::snprintf(path.data(), path.size(), "/proc/%d/stat", static_cast<int>(pid));
  const int fd = ::open(path.data(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  std::array<char, 512> buffer{};
  const ssize_t size = ::read(fd, buffer.data(), buffer.size());
  ::close(fd);
  if (size <= 0)
    return false;
  const std::string_view stat(buffer.data(), static_cast<std::size_t>(size));
  const auto paren = stat.rfind(')');
  if (paren == std::string_view::npos || paren + 2 >= stat.size())
    return false;
  const char state = stat[paren + 2];
  return state == 'Z' || state == 'X';
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

SysResult LinuxSystem::pollReadable(int fd) {
  pollfd watch{fd, POLLIN, 0};
  const int result = ::poll(&watch, 1, -1);
  return {result, result < 0 ? errno : 0};
}
#endif

} // namespace FnRemapKit::ExitWatch
