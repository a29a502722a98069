// SPDX-License-Identifier: Apache-2.0
//===- exit-watch/ExitWatch.hpp - Waiting for a process to exit -----------===//
//
// The ways the guard can watch its parent, written once over a narrow seam
// of the system calls they make, so that each call sequence can be driven by
// a scripted system as well as by the real one. A watch is registered first
// and waited on after, so that the guard can say in between that it is
// watching.
//
// Beside the process, a wait watches a wake descriptor (the guard's stop
// signal pipe; -1 for none) and returns once it is readable, so that a
// signal's meaning is settled on the main path rather than in a handler.
//
// A System provides:
//   int probe(pid)                    kill(pid, 0): 0, or the errno it failed with
//   SysResult kqueue()                a new kernel event queue
//   SysResult addExitNote(q, change)  register change on q, without waiting
//   SysResult pidfdOpen(pid)          a process descriptor for pid
//   SysResult await(fd, wakeFd)       block until the queue or descriptor reports
//                                     (value exitReported) or wakeFd is readable
//                                     (value wakeReported, which wins when both are)
//   void close(fd)
//   bool isZombie(pid)                exited, all its threads gone, not yet reaped
//   bool sleepInterval(wakeFd)        the fallback's pause, at most 50 ms, cut
//                                     short and true once wakeFd is readable
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

/// What await() reports when it does not fail.
inline constexpr int exitReported = 0;
inline constexpr int wakeReported = 1;

/// How a wait ended.
using Wake = FnGuard::ExitWatch::Wake;

/// Checks for the process at a fixed short interval. A zombie counts as
/// exited: a parent that died but was not yet reaped must not hold us.
template <class System>
Wake waitByPolling(System &system, std::int32_t pid, int wakeFd = -1) {
  while (system.probe(pid) != ESRCH && !system.isZombie(pid))
    if (system.sleepInterval(wakeFd))
      return Wake::woken;
  return Wake::exited;
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

/// Blocks until the registered process has exited, then closes what the
/// registration holds and leaves it gone; or until \p wakeFd is readable,
/// and leaves the registration as it was, for a later wait. A handled signal
/// does not end the wait; a descriptor that fails otherwise is closed and
/// the interval check takes over, now and in later waits.
template <class System>
Wake awaitExit(System &system, std::int32_t pid, Registration &registration, int wakeFd = -1) {
  using Kind = Registration::Kind;
  if (registration.kind == Kind::gone)
    return Wake::exited;
  if (registration.kind == Kind::descriptor) {
    SysResult result{};
    do
      result = system.await(registration.fd, wakeFd);
    while (result.value < 0 && result.error == EINTR);
    if (result.value == wakeReported)
      return Wake::woken;
    system.close(registration.fd);
    registration = {result.value < 0 ? Kind::interval : Kind::gone};
    if (result.value >= 0)
      return Wake::exited;
  }
  const Wake wake = waitByPolling(system, pid, wakeFd);
  if (wake == Wake::exited)
    registration = {Kind::gone};
  return wake;
}

} // namespace FnRemapKit::ProcessExit
