// SPDX-License-Identifier: Apache-2.0
// The kernel event queue backend, on macOS.
#if defined(__APPLE__)
#include "ExitWatch.hpp"
#include "RealSystems.hpp"

#include <sys/types.h>
#include <sys/event.h>
#include <sys/time.h>

namespace FnRemapKit::ProcessExit {

static_assert(procFilter == EVFILT_PROC);
static_assert(addOneShot == (EV_ADD | EV_ONESHOT));
static_assert(exitNote == NOTE_EXIT);

namespace {

struct KqueueSystem : PosixSystem {
  SysResult kqueue() {
    const int queue = ::kqueue();
    return {queue, queue < 0 ? errno : 0};
  }

  // With no room for events, a refused change comes back as -1 and errno,
  // and the zero timeout keeps the call from waiting.
  SysResult addExitNote(int queue, const KernelEventChange &change) {
    struct kevent registration;
    EV_SET(&registration, change.ident, change.filter, change.flags, change.fflags, change.data,
           change.udata);
    const struct timespec now = {0, 0};
    const int result = ::kevent(queue, &registration, 1, nullptr, 0, &now);
    return {result, result < 0 ? errno : 0};
  }

  // EVFILT_SIGNAL would name no sender, so the stop signals come through
  // their pipe, watched on the same queue. Adding it again on a later wait
  // changes nothing.
  SysResult await(int queue, int wakeFd) {
    struct kevent wake;
    EV_SET(&wake, static_cast<std::uintptr_t>(wakeFd), EVFILT_READ, EV_ADD, 0, 0, nullptr);
    const int changes = wakeFd >= 0 ? 1 : 0;
    struct kevent events[2] = {};
    const int result = ::kevent(queue, &wake, changes, events, 2, nullptr);
    if (result < 0)
      return {result, errno};
    // With room for events, a refused change comes back as an event.
    for (int i = 0; i < result; ++i)
      if (events[i].flags & EV_ERROR)
        return {-1, static_cast<int>(events[i].data)};
    for (int i = 0; i < result; ++i)
      if (events[i].filter == EVFILT_READ)
        return {wakeReported, 0};
    return {exitReported, 0};
  }
};

} // namespace

Registration registerOnThisSystem(std::int32_t pid) {
  KqueueSystem system;
  return registerKernelQueue(system, pid);
}

Wake awaitOnThisSystem(std::int32_t pid, Registration &registration, int wakeFd) {
  KqueueSystem system;
  return awaitExit(system, pid, registration, wakeFd);
}

} // namespace FnRemapKit::ProcessExit
#endif
