// SPDX-License-Identifier: Apache-2.0
// What macOS tells of processes, for the apple-on-linux build, from /proc:
// a process's entry (sysctl KERN_PROC_PID) and BSD information
// (proc_pidinfo), which agree on its start time; the boot's identifier
// (kern.bootsessionuuid); and the program's environment. A process whose
// main thread has ended while others run is no zombie here, as on macOS.
#include <libproc.h>
#include <sys/sysctl.h>

#include "support/ProcessStat.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

using FnRemapKit::readProcessStat;

namespace {

// Clock ticks since boot, as seconds and microseconds.
timeval startOf(std::uint64_t ticks) {
  const long hertz = ::sysconf(_SC_CLK_TCK);
  return {static_cast<time_t>(ticks / hertz), static_cast<suseconds_t>(ticks % hertz * 1'000'000 / hertz)};
}

} // namespace

// No such process: success with nothing filled in, as macOS answers.
extern "C" int sysctl(int *name, unsigned int length, void *old, size_t *oldLength, void *, size_t) {
  if (length != 4 || name[0] != CTL_KERN || name[1] != KERN_PROC || name[2] != KERN_PROC_PID || !old ||
      *oldLength < sizeof(kinfo_proc)) {
    errno = EINVAL;
    return -1;
  }
  const auto stat = readProcessStat(name[3]);
  if (!stat) {
    *oldLength = 0;
    return 0;
  }
  kinfo_proc info{};
  info.kp_proc.p_starttime = startOf(stat->start);
  info.kp_proc.p_stat = (stat->state == 'Z' || stat->state == 'X') && stat->threads == 1 ? SZOMB : SRUN;
  info.kp_proc.p_pid = name[3];
  info.kp_eproc.e_ppid = stat->parent;
  std::ifstream(("/proc/" + std::to_string(name[3]) + "/comm").c_str()).getline(info.kp_proc.p_comm, MAXCOMLEN + 1);
  std::memcpy(old, &info, sizeof info);
  *oldLength = sizeof info;
  return 0;
}

extern "C" int sysctlbyname(const char *name, void *old, size_t *oldLength, void *, size_t) {
  char uuid[40] = {};
  if (std::strcmp(name, "kern.bootsessionuuid") != 0 ||
      !std::ifstream("/proc/sys/kernel/random/boot_id").getline(uuid, sizeof uuid)) {
    errno = ENOENT;
    return -1;
  }
  if (*oldLength < std::strlen(uuid) + 1) {
    errno = ENOMEM;
    return -1;
  }
  *oldLength = std::strlen(uuid) + 1;
  std::memcpy(old, uuid, *oldLength);
  return 0;
}

extern "C" int proc_pidinfo(int pid, int flavor, uint64_t, void *buffer, int size) {
  const auto stat = flavor == PROC_PIDTBSDINFO && size >= static_cast<int>(sizeof(proc_bsdinfo))
                        ? readProcessStat(pid)
                        : std::nullopt;
  if (!stat) {
    errno = flavor == PROC_PIDTBSDINFO ? ESRCH : EINVAL;
    return 0;
  }
  const timeval start = startOf(stat->start);
  const proc_bsdinfo info{static_cast<uint32_t>(stat->parent), static_cast<uint64_t>(start.tv_sec),
                          static_cast<uint64_t>(start.tv_usec)};
  std::memcpy(buffer, &info, sizeof info);
  return sizeof info;
}

extern char **environ;
extern "C" char ***_NSGetEnviron(void) { return &environ; }
