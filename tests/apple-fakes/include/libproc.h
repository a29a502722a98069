// SPDX-License-Identifier: Apache-2.0
// proc_pidinfo(3), as far as the child handle reads it.
#pragma once

#include <stdint.h>

#define PROC_PIDTBSDINFO 3
struct proc_bsdinfo {
  uint32_t pbi_ppid;
  uint64_t pbi_start_tvsec;
  uint64_t pbi_start_tvusec;
};
extern "C" int proc_pidinfo(int pid, int flavor, uint64_t arg, void *buffer, int buffersize);
