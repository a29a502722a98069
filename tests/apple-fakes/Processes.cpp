// SPDX-License-Identifier: Apache-2.0
// What macOS tells of processes and does with them, for the apple-on-linux
// build, over /proc and glibc.
//
// A process's entry (sysctl KERN_PROC_PID) and BSD information
// (proc_pidinfo) agree on its start time. A process whose main thread has
// ended while others run is no zombie here, as on macOS.
//
// kqueue and kevent, as far as the exit watch and the child handle use them:
// EVFILT_PROC with NOTE_EXIT, and EVFILT_READ. A queue is a descriptor that
// poll finds readable once its process has exited, as a real one is: an
// epoll descriptor watching nothing until a process is added, then that
// process's descriptor (pidfd) in its place, so one process a queue. A read
// watch lasts the call that adds it, which is how the exit watch adds it (on
// every wait). Events name no ident.
//
// POSIX_SPAWN_CLOEXEC_DEFAULT: a spawn whose attributes set it closes, in
// the child, every descriptor above the highest one its file actions name
// (the guard's actions name 0 to 3 and nothing between is left open), as
// macOS closes every descriptor they do not name.
#include <libproc.h>
#include <spawn.h>
#include <sys/event.h>
#include <sys/sysctl.h>

#include "support/ProcessStat.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Clock ticks since boot, as seconds and microseconds.
timeval startOf(std::uint64_t ticks) {
  const long hertz = ::sysconf(_SC_CLK_TCK);
  return {static_cast<time_t>(ticks / hertz), static_cast<suseconds_t>(ticks % hertz * 1'000'000 / hertz)};
}

constexpr short cloexecDefault = 0x4000; // POSIX_SPAWN_CLOEXEC_DEFAULT, which glibc's spawn.h has not
std::mutex spawning;
// Attributes: whether a call set the flag; file actions: the highest
// descriptor they name.
std::map<const void *, int> noted;

// Notes \p value for \p object, the highest yet, unless the call failed
// with \p error, which it returns.
int note(const void *object, int value, int error) {
  const std::lock_guard guard(spawning);
  if (!error)
    noted[object] = std::max(noted.try_emplace(object, value).first->second, value);
  return error;
}

} // namespace

// No such process: success with nothing filled in, as macOS answers.
extern "C" int sysctl(int *name, unsigned int length, void *old, size_t *oldLength, void *, size_t) {
  if (length != 4 || name[0] != CTL_KERN || name[1] != KERN_PROC || name[2] != KERN_PROC_PID || !old ||
      *oldLength < sizeof(kinfo_proc)) {
    errno = EINVAL;
    return -1;
  }
  const auto stat = FnRemapKit::readProcessStat(name[3]);
  *oldLength = stat ? sizeof(kinfo_proc) : 0;
  if (!stat)
    return 0;
  kinfo_proc &info = *static_cast<kinfo_proc *>(old) = {};
  info.kp_proc.p_starttime = startOf(stat->start);
  info.kp_proc.p_stat = (stat->state == 'Z' || stat->state == 'X') && stat->threads == 1 ? SZOMB : SRUN;
  info.kp_proc.p_pid = name[3];
  info.kp_eproc.e_ppid = stat->parent;
  std::ifstream("/proc/" + std::to_string(name[3]) + "/comm").getline(info.kp_proc.p_comm, MAXCOMLEN + 1);
  return 0;
}

extern "C" int sysctlbyname(const char *name, void *old, size_t *oldLength, void *, size_t) {
  std::string uuid;
  if (std::strcmp(name, "kern.bootsessionuuid") != 0 ||
      !std::getline(std::ifstream("/proc/sys/kernel/random/boot_id"), uuid) || *oldLength <= uuid.size()) {
    errno = ENOENT;
    return -1;
  }
  *oldLength = uuid.size() + 1;
  std::memcpy(old, uuid.c_str(), *oldLength);
  return 0;
}

extern "C" int proc_pidinfo(int pid, int flavor, uint64_t, void *buffer, int size) {
  const auto stat = FnRemapKit::readProcessStat(pid);
  if (flavor != PROC_PIDTBSDINFO || size < static_cast<int>(sizeof(proc_bsdinfo)) || !stat) {
    errno = flavor != PROC_PIDTBSDINFO ? EINVAL : ESRCH;
    return 0;
  }
  const timeval start = startOf(stat->start);
  *static_cast<proc_bsdinfo *>(buffer) = {static_cast<uint32_t>(stat->parent), static_cast<uint64_t>(start.tv_sec),
                                          static_cast<uint64_t>(start.tv_usec)};
  return sizeof(proc_bsdinfo);
}

extern char **environ;
extern "C" char ***_NSGetEnviron(void) { return &environ; }

extern "C" int kqueue(void) { return ::epoll_create1(EPOLL_CLOEXEC); }

extern "C" int kevent(int kq, const struct kevent *changes, int nchanges, struct kevent *events, int nevents,
                      const struct timespec *timeout) {
  std::vector<pollfd> watched{{kq, POLLIN, 0}};
  int reported = 0;
  for (int i = 0; i < nchanges; ++i) {
    const struct kevent &change = changes[i];
    int error = EINVAL;
    if (change.filter == EVFILT_READ && (change.flags & EV_ADD)) {
      watched.push_back({static_cast<int>(change.ident), POLLIN, 0});
      error = ::fcntl(static_cast<int>(change.ident), F_GETFD) < 0 ? EBADF : 0;
    } else if (change.filter == EVFILT_PROC && (change.flags & EV_ADD) && change.fflags == NOTE_EXIT) {
      const int process = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(change.ident), 0));
      error = process < 0 ? errno : ::dup3(process, kq, O_CLOEXEC) < 0 ? errno : 0;
      if (process >= 0)
        ::close(process);
    }
    if (error == 0)
      continue;
    // With no room for events, a refused change fails the call; with room,
    // it comes back as an event, and the call does not wait.
    if (reported == nevents) {
      errno = error;
      return -1;
    }
    events[reported++] = {change.ident, change.filter, EV_ERROR, 0, error, change.udata};
  }
  if (reported > 0 || nevents == 0)
    return reported;
  const int wait = timeout ? static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_nsec / 1000000) : -1;
  if (::poll(watched.data(), watched.size(), wait) < 0)
    return -1;
  for (std::size_t i = 0; i < watched.size() && reported < nevents; ++i)
    if (watched[i].revents & (POLLIN | POLLHUP))
      events[reported++] = {i == 0 ? 0 : static_cast<uintptr_t>(watched[i].fd),
                            static_cast<int16_t>(i == 0 ? EVFILT_PROC : EVFILT_READ), 0,
                            i == 0 ? NOTE_EXIT : 0, 0, nullptr};
  return reported;
}

extern "C" int appleFakeSpawnSetFlags(posix_spawnattr_t *attributes, short flags) {
  return note(attributes, (flags & cloexecDefault) != 0,
              ::posix_spawnattr_setflags(attributes, static_cast<short>(flags & ~cloexecDefault)));
}

extern "C" int appleFakeSpawnAddDup2(posix_spawn_file_actions_t *actions, int fd, int target) {
  return note(actions, target, ::posix_spawn_file_actions_adddup2(actions, fd, target));
}

extern "C" int appleFakeSpawnAddOpen(posix_spawn_file_actions_t *actions, int target, const char *path, int flags,
                                     mode_t mode) {
  return note(actions, target, ::posix_spawn_file_actions_addopen(actions, target, path, flags, mode));
}

// The objects are forgotten once used: another may take their address.
extern "C" int appleFakeSpawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                              const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]) {
  const std::lock_guard guard(spawning);
  const auto closing = noted.extract(attributes), highest = noted.extract(actions);
  if (closing && closing.mapped() && actions)
    ::posix_spawn_file_actions_addclosefrom_np(const_cast<posix_spawn_file_actions_t *>(actions),
                                               highest ? highest.mapped() + 1 : 0);
  return ::posix_spawn(pid, path, actions, attributes, argv, envp);
}
