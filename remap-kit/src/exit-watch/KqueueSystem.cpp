// The kernel event queue backend, on macOS.
#if defined(__APPLE__)
#include "ExitWatch.hpp"
#include "RealSystems.hpp"

#include <sys/types.h>
#include <sys/event.h>
#include <sys/time.h>

namespace FnRemapKit::ExitWatch {

static_assert(procFilter == EVFILT_PROC);
static_assert(addOneShot == (EV_ADD | EV_ONESHOT));
static_assert(exitNote == NOTE_EXIT);
static_assert(eventError == EV_ERROR);

struct KqueueSystem : PosixSystem {
  SysResult kqueue() {
    const int queue = ::kqueue();
    return {queue, queue < 0 ? errno : 0};
  }

  KernelEvent kevent(int queue, const KernelEventChange &change) {
    struct kevent registration;
    EV_SET(&registration, change.ident, change.filter, change.flags,
           change.fflags, change.data, change.udata);
    struct kevent event = {};
    const int result = ::kevent(queue, &registration, 1, &event, 1, nullptr);
    return {{result, result < 0 ? errno : 0}, event.flags, event.data};
  }
};

void waitForExitOnThisSystem(std::int32_t pid) {
  KqueueSystem system;
  waitWithKernelQueue(system, pid);
}

} // namespace FnRemapKit::ExitWatch
#endif
