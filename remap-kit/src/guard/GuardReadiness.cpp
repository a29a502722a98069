// SPDX-License-Identifier: Apache-2.0
#include "GuardReadiness.hpp"

#include "../hid/HIDSystem.hpp"

#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/HIDKeyMappingStore.hpp"

#include "FnRemapKit/KeyMappingLedger.hpp"

#include <unistd.h>

namespace FnRemapKit::FnGuard::detail {

void checkLedgerReachable() {
  if (const auto path = KeyMappingLedger::file().path(); !path.empty() && ::access(path.c_str(), F_OK) == 0)
    HID::openLedgerPlace(false);
}

std::optional<std::string> unreachableReason() noexcept {
  try {
    HID::openLockFile();
    try {
      HIDKeyMappingStore().read();
    } catch (const KeyMappingError &) {
      // Reached: what the list holds is the release's to judge.
    }
    checkLedgerReachable();
  } catch (...) {
    std::string reason = errorText(std::current_exception());
    return reason.empty() ? "unknown error" : reason;
  }
  return std::nullopt;
}

} // namespace FnRemapKit::FnGuard::detail
