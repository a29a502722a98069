//===- guard/GuardRelease.hpp - What a guard does once it is told to ------===//
#pragma once

#include "FnRemapKit/FnGuardArguments.hpp"
#include "FnRemapKit/FnGuardOutcome.hpp"

namespace FnRemapKit::FnGuard::detail {

/// The guard's release of our entry from the HID event system's list, once
/// its parent has exited or a stranger's signal ends it: under the
/// KeyMappingLock, by the holds' rules. Never throws.
FnGuardOutcome releaseForGuard(const FnGuardArguments &arguments) noexcept;

} // namespace FnRemapKit::FnGuard::detail
