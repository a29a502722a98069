// SPDX-License-Identifier: Apache-2.0
#include "FnRemapKit/HIDKeyMappingStore.hpp"

#include "HIDSystem.hpp"
#include "KeyMappingShape.hpp"

namespace FnRemapKit {

std::optional<KeyMappingList> HIDKeyMappingStore::read() const {
  const auto client = HID::Client::createSimple();
  return HID::decodeKeyMappingList(client.copyProperty(HID::userKeyMappingProperty));
}

bool HIDKeyMappingStore::write(const KeyMappingList &list) const noexcept {
  try {
    const auto client = HID::Client::createSimple();
    return client.setProperty(HID::userKeyMappingProperty, HID::encodeKeyMappingList(list));
  } catch (...) {
    return false; // no client, or no memory for the value
  }
}

} // namespace FnRemapKit
