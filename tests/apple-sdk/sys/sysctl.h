/* sysctl(3), sysctlbyname(3) and the process table entry, as far as the
   zombie check, the start time and the process name read them. */
#pragma once

#include <stddef.h>
#include <sys/time.h>
#include <sys/types.h>

#define CTL_KERN 1
#define KERN_PROC 14
#define KERN_PROC_PID 1
#define SZOMB 5
#define MAXCOMLEN 16
struct extern_proc {
  union {
    struct {
      struct proc *__p_forw;
      struct proc *__p_back;
    } p_st1;
    struct timeval __p_starttime;
  } p_un;
#define p_starttime p_un.__p_starttime
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
int sysctl(int *name, unsigned int namelen, void *oldp, size_t *oldlenp, void *newp, size_t newlen);
int sysctlbyname(const char *name, void *oldp, size_t *oldlenp, void *newp, size_t newlen);
