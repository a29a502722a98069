// SPDX-License-Identifier: Apache-2.0
//===- hid/KeyboardWatch.hpp - Keyboards that appear ----------------------===//
//
// The user key mapping lasts only as long as the keyboard service it was
// set on: a keyboard that goes and comes back (a wake, a Bluetooth
// reconnect, a replug) comes back without it. A session's monitor learns
// of each appearance through this, as a descriptor it can poll beside the
// guard's. On macOS a keyboard appears as IOKit's first match of a HID
// device with the keyboard's usage (page 1, usage 6); on the stand-in as a
// file created in keyboards/ beside the state file.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "../support/FileDescriptor.hpp"

#include <memory>

namespace FnRemapKit::HID {

class KeyboardWatch {
public:
  /// Watches from now on; nothing when keyboards cannot be watched here
  /// (on the stand-in, when there is no keyboards/ directory).
  static std::unique_ptr<KeyboardWatch> open() noexcept;
  ~KeyboardWatch();
  KeyboardWatch(const KeyboardWatch &) = delete;
  KeyboardWatch &operator=(const KeyboardWatch &) = delete;

  /// Readable once a keyboard has appeared since the last drain().
  int descriptor() const noexcept;

  /// Forgets the appearances seen so far; never blocks.
  void drain() noexcept;

  struct Impl;
  explicit KeyboardWatch(std::unique_ptr<Impl> impl) noexcept;

private:
  std::unique_ptr<Impl> impl;
};

} // namespace FnRemapKit::HID
