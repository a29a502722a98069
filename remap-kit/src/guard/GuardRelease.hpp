// SPDX-License-Identifier: Apache-2.0
//===- guard/GuardRelease.hpp - What a guard does once it is told to ------===//
#pragma once

#include "FnRemapKit/FnGuardArguments.hpp"
#include "FnRemapKit/FnGuardOutcome.hpp"
#include "FnRemapKit/KeyMappingLedger.hpp"

#include <chrono>
#include <optional>

namespace FnRemapKit::FnGuard::detail {

/// How long a guard that went on without the lock keeps waiting for it, to
/// make its release again by the full rules: long past any writer's read
/// and write, and short beside a stopped writer that holds it for good.
inline constexpr std::chrono::seconds retryBound{30};

/// The guard's release of our entry from the HID event system's list, once
/// its parent has exited or a stranger's signal ends it. Under the
/// KeyMappingLock: the repair, then our own hold (the one whose guard is
/// this process, or \p application's for our entry whose guard is gone)
/// and our entry, which leaves the list unless a live hold of
/// another application names it (kept). Past the lock's bound, or with a
/// lock file refused: the ledger is read but not written, and our entry
/// leaves the list unless a live hold other than ours names it; then, if
/// the lock was only busy, it waits retryBound more for the lock and makes
/// the release again, first merging back the entry of every live hold that
/// the list lacks. The outcome says what became of our entry in the end. A
/// ledger that cannot be read, or a later version's, leaves the guard to
/// remove our entry as one without a ledger does. Never throws.
FnGuardOutcome releaseForGuard(const FnGuardArguments &arguments,
                               const std::optional<ProcessIdentity> &application) noexcept;

} // namespace FnRemapKit::FnGuard::detail
