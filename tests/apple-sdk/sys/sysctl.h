/* sysctl(3) and the process table entry, as far as the zombie check reads them. */
#pragma once

#include <stddef.h>

#define CTL_KERN 1
#define KERN_PROC 14
#define KERN_PROC_PID 1
#define SZOMB 5
struct extern_proc { char p_stat; };
struct kinfo_proc { struct extern_proc kp_proc; };
int sysctl(int *name, unsigned int namelen, void *oldp, size_t *oldlenp, void *newp, size_t newlen);
