// SPDX-License-Identifier: Apache-2.0
//===- support/ProcessIdentity.hpp - Which process a pid names now --------===//
//
// A pid alone names a process only until it exits: the system then hands it
// on. With the start time beside it, it names one process for good. The
// ledger of holds, the child handle and the exit watch all ask the same
// question of the system, so it is asked here once.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/KeyMappingLedger.hpp"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace FnRemapKit {

/// What the system shows of a process.
struct ProcessLook {
  /// running: it runs (or is stopped). exited: a zombie whose threads have
  /// all gone, not yet reaped. refused: it exists, but the system will not
  /// say more (another user's, a hardened /proc).
  enum class State { running, exited, refused };
  State state;
  pid_t parent;
  /// Clock ticks since boot on Linux (/proc/PID/stat); microseconds since
  /// the epoch on macOS (sysctl KERN_PROC_PID's p_starttime, which needs no
  /// privilege). Zero when refused.
  std::uint64_t start;
};

/// Nothing when there is no process \p pid.
std::optional<ProcessLook> lookUpProcess(pid_t pid) noexcept;

/// This process as others see it.
ProcessIdentity currentProcess() noexcept;

// isRunning, processName and bootIdentifier are public, beside the ledger.

} // namespace FnRemapKit
