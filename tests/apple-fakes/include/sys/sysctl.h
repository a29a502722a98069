// SPDX-License-Identifier: Apache-2.0
// sysctl(3) and sysctlbyname(3), as far as the sources read them: a
// process's entry by pid, and kern.bootsessionuuid.
#pragma once

#include <stddef.h>
#include <sys/time.h>
#include <sys/types.h>

#define CTL_KERN 1
#define KERN_PROC 14
#define KERN_PROC_PID 1
#define SRUN 2
#define SZOMB 5
#define MAXCOMLEN 16
struct extern_proc {
  struct timeval p_starttime;
  char p_stat;
  pid_t p_pid;
  char p_comm[MAXCOMLEN + 1];
};
struct eproc {
  pid_t e_ppid;
};
struct kinfo_proc {
  struct extern_proc kp_proc;
  struct eproc kp_eproc;
};
extern "C" int sysctl(int *name, unsigned int namelen, void *oldp, size_t *oldlenp, void *newp, size_t newlen);
extern "C" int sysctlbyname(const char *name, void *oldp, size_t *oldlenp, void *newp, size_t newlen);
