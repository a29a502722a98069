// SPDX-License-Identifier: Apache-2.0
// ready-guard [ignored arguments]
//
// The least a guard can do and still be one, for session-cycle to measure a
// session against: hold its parent by a process descriptor (a kqueue on
// macOS), say "\n" on the pipe named in FNGUARD_READY_FD, as the real guard
// does once it watches, then wait for the parent's exit or a signal. No
// C++ runtime, no dynamic linking (built -static where the system allows),
// no state read: what is left is the kernel's own cost of a ready guard.
#if defined(__linux__)
#define _GNU_SOURCE
#endif

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <sys/event.h>
#else
#include <sys/syscall.h>
#endif

static int watchParent(void) {
#if defined(__APPLE__)
  int queue = kqueue();
  if (queue < 0)
    return -1;
  struct kevent change;
  EV_SET(&change, getppid(), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, NULL);
  if (kevent(queue, &change, 1, NULL, 0, NULL) != 0)
    return -1;
  return queue;
#elif defined(SYS_pidfd_open)
  return (int)syscall(SYS_pidfd_open, getppid(), 0);
#else
  errno = ENOSYS;
  return -1;
#endif
}

int main(void) {
  const int parent = watchParent();
  if (parent < 0)
    return 1;
  const char *named = getenv("FNGUARD_READY_FD");
  if (named) {
    const int ready = atoi(named);
    while (write(ready, "\n", 1) < 0 && errno == EINTR) {
    }
  }
  // A stop signal ends us by its default action: the session ends its own
  // guard so too, once it has released.
  struct pollfd exited = {parent, POLLIN, 0};
  while (poll(&exited, 1, -1) < 0 && errno == EINTR) {
  }
  return 0;
}
