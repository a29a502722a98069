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

  SysResult await(int queue) {
    struct kevent event = {};
    const int result = ::kevent(queue, nullptr, 0, &event, 1, nullptr);
    return {result, result < 0 ? errno : 0};
  }
};

} // namespace

Registration registerOnThisSystem(std::int32_t pid) {
  KqueueSystem system;
  return registerKernelQueue(system, pid);
}

void awaitOnThisSystem(std::int32_t pid, Registration registration) {
  KqueueSystem system;
  awaitExit(system, pid, registration);
}

} // namespace FnRemapKit::ProcessExit
#endif
