/* libproc: a process's open descriptors, as the tests list them. */
#pragma once

#include <stdint.h>

#define PROC_PIDLISTFDS 1
#define PROX_FDTYPE_KQUEUE 5
struct proc_fdinfo { int32_t proc_fd; uint32_t proc_fdtype; };
int proc_pidinfo(int pid, int flavor, uint64_t arg, void *buffer, int buffersize);
