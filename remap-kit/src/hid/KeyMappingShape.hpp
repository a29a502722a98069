// SPDX-License-Identifier: Apache-2.0
//===- hid/KeyMappingShape.hpp - Between property values and lists --------===//
#pragma once

#include "FnRemapKit/KeyMapping.hpp"
#include "HIDSystem.hpp"

namespace FnRemapKit::HID {

/// A property that is not set is no list; an array of dictionaries with
/// string keys is a list, in array order: a dictionary whose values are all
/// integers as a KeyMappingEntry, any other as a ForeignKeyMappingEntry
/// holding it whole. Anything else, a key repeated within one dictionary
/// included, throws KeyMappingError::unsupportedShape; no part of a list is
/// ever returned.
std::optional<KeyMappingList> decodeKeyMappingList(const std::optional<Value> &property);

/// An array of one dictionary per entry, in list order: integer values for
/// a KeyMappingEntry, a foreign entry's value as it is.
Value encodeKeyMappingList(const KeyMappingList &list);

} // namespace FnRemapKit::HID
