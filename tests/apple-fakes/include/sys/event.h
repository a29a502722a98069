// SPDX-License-Identifier: Apache-2.0
// Kernel event queues, as macOS declares them: what fakes/Processes.cpp does.
#pragma once

#include <stdint.h>
#include <time.h>

struct kevent {
  uintptr_t ident;
  int16_t filter;
  uint16_t flags;
  uint32_t fflags;
  intptr_t data;
  void *udata;
};
#define EVFILT_READ (-1)
#define EVFILT_PROC (-5)
#define EV_ADD 0x0001
#define EV_ONESHOT 0x0010
#define EV_ERROR 0x4000
#define NOTE_EXIT 0x80000000U
#define EV_SET(kevp, a, b, c, d, e, f)                                                                             \
  (*(kevp) = {(uintptr_t)(a), (int16_t)(b), (uint16_t)(c), (uint32_t)(d), (intptr_t)(e), (void *)(f)})
extern "C" int kqueue(void);
extern "C" int kevent(int kq, const struct kevent *changelist, int nchanges, struct kevent *eventlist,
                      int nevents, const struct timespec *timeout);
