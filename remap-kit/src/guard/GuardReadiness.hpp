// SPDX-License-Identifier: Apache-2.0
//===- guard/GuardReadiness.hpp - Whether the guard can do its job --------===//
//
// A guard that says it is watching must be able to release when it is
// needed: a sandbox, permissions or another state directory in its
// environment would otherwise go unnoticed until the application has gone.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace FnRemapKit::FnGuard::detail {

/// The longest reason a guard reports on its report pipe.
inline constexpr std::size_t maximumReasonSize = 255;

/// Why this process cannot reach what a release needs, or nothing when it
/// can: it opens the lock file under its rules (without locking it), reads
/// the key mapping without the lock (a busy lock is no reason to fail, and a
/// list of a shape we cannot hold is reached all the same), and checks the
/// ledger (checkLedgerReachable). Never throws.
std::optional<std::string> unreachableReason() noexcept;

/// Throws std::runtime_error saying why the ledger's directory cannot be
/// opened, once there is a ledger; a damaged or later one is no reason to
/// fail here: the ledger's own rules handle it.
void checkLedgerReachable();

} // namespace FnRemapKit::FnGuard::detail
