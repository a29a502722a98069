//===- exit-watch/ExitWatch.hpp - Waiting for a process to exit -----------===//
//
// The three ways the guard can wait for its parent, written once over a
// narrow seam of the system calls they make, so that each call sequence can
// be driven by a scripted system as well as by the real one.
//
// A System provides:
//   int probe(pid)                 kill(pid, 0): 0, or the errno it failed with
//   SysResult kqueue()             a new kernel event queue
//   KernelEvent kevent(q, change)  register change on q, block for one event
//   SysResult pidfdOpen(pid)       a process descriptor for pid
//   SysResult pollReadable(fd)     block until fd is readable
//   void close(fd)
//   bool isZombie(pid)             exited, not yet reaped by its parent
//   void sleepInterval()           the fallback's pause, at most 50 ms
// Each backend uses only the calls it needs.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <cerrno>
#include <cstdint>

namespace FnRemapKit::ExitWatch {

/// A call's result: value, or value < 0 with the errno in error.
struct SysResult {
  int value;
  int error;
};

/// The one change record a kernel event queue gets: the process filter with
/// the exit note, added as a one-shot watch. The values are the kernel's;
/// the real system checks them against <sys/event.h>.
struct KernelEventChange {
  std::uintptr_t ident;
  std::int16_t filter;
  std::uint16_t flags;
  std::uint32_t fflags;
  std::intptr_t data;
  void *udata;
};
inline constexpr std::int16_t procFilter = -5;        // EVFILT_PROC
inline constexpr std::uint16_t addOneShot = 0x0011;   // EV_ADD | EV_ONESHOT
inline constexpr std::uint32_t exitNote = 0x80000000; // NOTE_EXIT
inline constexpr std::uint16_t eventError = 0x4000;   // EV_ERROR

/// What kevent gave back: its result as a SysResult and, when it returned an
/// event, the event's flags and data. A refused registration comes back
/// either as -1 with errno or as an event flagged eventError with the errno
/// in its data.
struct KernelEvent {
  SysResult result;
  std::uint16_t flags;
  std::intptr_t data;
};

/// Closes a descriptor through the system on every path out of a scope.
template <class System> class Descriptor {
public:
  Descriptor(System &system, int fd) : system(system), fd(fd) {}
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  ~Descriptor() { release(); }
  int get() const { return fd; }
  void release() {
    if (fd >= 0)
      system.close(fd);
    fd = -1;
  }

private:
  System &system;
  int fd;
};

/// Checks for the process at a fixed short interval. A zombie counts as
/// exited: a parent that died but was not yet reaped must not hold us.
template <class System> void waitByPolling(System &system, std::int32_t pid) {
  while (system.probe(pid) != ESRCH && !system.isZombie(pid))
    system.sleepInterval();
}

/// The kernel event queue wait. A failed probe other than ESRCH (EPERM: the
/// process belongs to another user) still waits. A registration refused with
/// ESRCH, in either of its forms, means the process exited before it; one
/// refused for any other reason (a sandbox, another user) proves nothing, so
/// the wait goes on at an interval rather than end while the process runs.
template <class System>
void waitWithKernelQueue(System &system, std::int32_t pid) {
  if (system.probe(pid) == ESRCH)
    return;
  const SysResult created = system.kqueue();
  if (created.value < 0)
    return;
  Descriptor<System> queue(system, created.value);
  const KernelEventChange change{static_cast<std::uintptr_t>(pid), procFilter,
                                 addOneShot, exitNote, 0, nullptr};
  int refused = EINTR;
  while (refused == EINTR) {
    const KernelEvent got = system.kevent(queue.get(), change);
    if (got.result.value < 0)
      refused = got.result.error;
    else if (got.result.value > 0 && (got.flags & eventError))
      refused = static_cast<int>(got.data);
    else
      return;
  }
  if (refused == ESRCH)
    return;
  queue.release();
  waitByPolling(system, pid);
}

/// The process descriptor wait: the same shape as the kernel queue. Where no
/// descriptor can be had, or polling it fails, we fall back to checking at an
/// interval rather than give up: giving up would remove the entry while the
/// parent still runs.
template <class System>
void waitWithProcessDescriptor(System &system, std::int32_t pid) {
  if (system.probe(pid) == ESRCH)
    return;
  const SysResult opened = system.pidfdOpen(pid);
  if (opened.value < 0 && opened.error == ESRCH)
    return;
  if (opened.value >= 0) {
    Descriptor<System> process(system, opened.value);
    for (;;) {
      const SysResult result = system.pollReadable(process.get());
      if (result.value >= 0)
        return;
      if (result.error != EINTR)
        break;
    }
  }
  waitByPolling(system, pid);
}

} // namespace FnRemapKit::ExitWatch
