// SPDX-License-Identifier: Apache-2.0
//===- FnRemapKit/HIDKeyMappingStore.hpp - The system's own list ----------===//
#pragma once

#include "FnRemapKit/KeyMappingStore.hpp"

namespace FnRemapKit {

/// The key mapping store backed by the HID event system's "UserKeyMapping"
/// property. It holds no state: every call creates its own HID event system
/// client and releases it before returning.
///
/// The property is an array of dictionaries with string keys; entries pass
/// through whatever keys they hold. One whose values are all integer
/// numbers is a KeyMappingEntry; any other is carried as it is (a real
/// stays a real, a boolean a boolean), and on macOS written back as the
/// very objects read, a number keeping its width. read() throws
/// KeyMappingError::unsupportedShape for any other shape, or for nesting
/// deeper than 32 containers, and a std::runtime_error saying why when no
/// client can be created or the property cannot be read.
///
/// Off macOS, a stand-in HID event system keeps the property in
/// UserKeyMapping.json in the directory named by TARNWICK_HID_STATE_DIR, else
/// $XDG_RUNTIME_DIR/tarnwick-hid. With neither, no client can be created:
/// read() throws and write() returns false. Text that is not JSON, an
/// integer beyond the signed 64-bit range, a real beyond a double's or an
/// object naming a key twice is unsupportedShape.
class HIDKeyMappingStore {
public:
  HIDKeyMappingStore() = default;

  std::optional<KeyMappingList> read() const;
  bool write(const KeyMappingList &list) const noexcept;
};

} // namespace FnRemapKit
