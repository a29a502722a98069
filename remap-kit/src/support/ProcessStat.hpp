// SPDX-License-Identifier: Apache-2.0
//===- support/ProcessStat.hpp - What Linux shows of a process ------------===//
#pragma once

#if defined(__linux__)
#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace FnRemapKit {

/// The fields of /proc/PID/stat that the exit watch and the child handle
/// read: the state letter, the parent, the number of threads and the start
/// time (in clock ticks since boot).
struct ProcessStat {
  char state;
  pid_t parent;
  long threads;
  std::uint64_t start;
};

/// Nothing when there is no such process, or the file cannot be read.
std::optional<ProcessStat> readProcessStat(pid_t pid) noexcept;

} // namespace FnRemapKit
#endif
