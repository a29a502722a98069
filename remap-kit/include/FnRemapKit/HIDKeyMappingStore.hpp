//===- FnRemapKit/HIDKeyMappingStore.hpp - The system's own list ----------===//
#pragma once

#include "FnRemapKit/KeyMappingStore.hpp"

namespace FnRemapKit {

/// The key mapping store backed by the HID event system's "UserKeyMapping"
/// property. It holds no state: every call creates its own HID event system
/// client and releases it before returning.
///
/// The property is an array of dictionaries from string keys to integer
/// numbers; entries pass through whatever keys they hold. read() throws
/// KeyMappingError::unsupportedShape for any other shape (a boolean, a
/// string or a nested container as a value, for instance), and a
/// std::runtime_error saying why when no client can be created or the
/// property cannot be read. A real number is taken as its value truncated
/// toward zero, saturated at the 64-bit limits (NaN as 0).
///
/// Off macOS, a stand-in HID event system keeps the property in
/// UserKeyMapping.json in the directory named by TARNWICK_HID_STATE_DIR, else
/// $XDG_RUNTIME_DIR/tarnwick-hid. With neither, no client can be created:
/// read() throws and write() returns false. An integer in the file beyond the
/// signed 64-bit range is unsupportedShape.
class HIDKeyMappingStore {
public:
  HIDKeyMappingStore() = default;

  std::optional<KeyMappingList> read() const;
  bool write(const KeyMappingList &list) const noexcept;
};

} // namespace FnRemapKit
