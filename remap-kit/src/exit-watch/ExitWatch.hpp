//===- exit-watch/ExitWatch.hpp - Waiting for a process to exit -----------===//
//
// The ways the guard can watch its parent, written once over a narrow seam
// of the system calls they make, so that each call sequence can be driven by
// a scripted system as well as by the real one. A watch is registered first
// and waited on after, so that the guard can say in between that it is
// watching.
//
// A System provides:
//   int probe(pid)                    kill(pid, 0): 0, or the errno it failed with
//   SysResult kqueue()                a new kernel event queue
//   SysResult addExitNote(q, change)  register change on q, without waiting
//   SysResult pidfdOpen(pid)          a process descriptor for pid
//   SysResult await(fd)               block until the queue or descriptor reports
//   void close(fd)
//   bool isZombie(pid)                exited, all its threads gone, not yet reaped
//   void sleepInterval()              the fallback's pause, at most 50 ms
// Each backend uses only the calls it needs.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/FnGuard.hpp"

#include <cerrno>
#include <cstdint>

namespace FnRemapKit::ProcessExit {

using Registration = FnGuard::detail::ExitRegistration;

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

/// Closes a descriptor through the system on every path out of a scope.
template <class System> class Descriptor {
public:
  Descriptor(System &system, int fd) : system(system), fd(fd) {}
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  ~Descriptor() {
    if (fd >= 0)
      system.close(fd);
  }
  int get() const { return fd; }

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

/// The kernel event queue registration. A failed probe other than ESRCH
/// (EPERM: the process belongs to another user) still registers. A queue
/// that cannot be had (EMFILE, ENOMEM) or a registration refused for any
/// reason but ESRCH (a sandbox, another user) proves nothing about the
/// process, so the interval check takes over rather than end the wait while
/// the process runs. Refused with ESRCH, the process exited before it.
template <class System>
Registration registerKernelQueue(System &system, std::int32_t pid) {
  using Kind = Registration::Kind;
  if (system.probe(pid) == ESRCH)
    return {Kind::gone};
  const SysResult queue = system.kqueue();
  if (queue.value < 0)
    return {Kind::interval};
  const KernelEventChange change{static_cast<std::uintptr_t>(pid), procFilter,
                                 addOneShot, exitNote, 0, nullptr};
  SysResult added{};
  do
    added = system.addExitNote(queue.value, change);
  while (added.value < 0 && added.error == EINTR);
  if (added.value >= 0)
    return {Kind::descriptor, queue.value};
  system.close(queue.value);
  return {added.error == ESRCH ? Kind::gone : Kind::interval};
}

/// The process descriptor registration: the same shape as the kernel queue.
template <class System>
Registration registerProcessDescriptor(System &system, std::int32_t pid) {
  using Kind = Registration::Kind;
  if (system.probe(pid) == ESRCH)
    return {Kind::gone};
  const SysResult opened = system.pidfdOpen(pid);
  if (opened.value >= 0)
    return {Kind::descriptor, opened.value};
  return {opened.error == ESRCH ? Kind::gone : Kind::interval};
}

/// Blocks until the registered process has exited, and closes what the
/// registration holds. A handled signal does not end the wait; a descriptor
/// that fails otherwise is closed and the interval check takes over.
template <class System>
void awaitExit(System &system, std::int32_t pid, Registration registration) {
  using Kind = Registration::Kind;
  if (registration.kind == Kind::gone)
    return;
  if (registration.kind == Kind::descriptor) {
    const Descriptor<System> watched(system, registration.fd);
    for (;;) {
      const SysResult result = system.await(watched.get());
      if (result.value >= 0)
        return;
      if (result.error != EINTR)
        break;
    }
  }
  waitByPolling(system, pid);
}

} // namespace FnRemapKit::ProcessExit
