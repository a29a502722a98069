#include "GuardRelease.hpp"

#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/HIDKeyMappingStore.hpp"
#include "FnRemapKit/KeyMappingLock.hpp"

namespace FnRemapKit::FnGuard::detail {

FnGuardOutcome releaseForGuard(const FnGuardArguments &arguments) noexcept {
  const auto lock = KeyMappingLock::acquire(); // held, or not: we go on either way
  return removeOurs(arguments.entry(), HIDKeyMappingStore());
}

} // namespace FnRemapKit::FnGuard::detail
