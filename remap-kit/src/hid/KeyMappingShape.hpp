//===- hid/KeyMappingShape.hpp - Between property values and lists --------===//
#pragma once

#include "FnRemapKit/KeyMapping.hpp"
#include "HIDSystem.hpp"

namespace FnRemapKit::HID {

/// A property that is not set is no list; an array of dictionaries with
/// string keys and number values is a list, in array order. Anything else,
/// a key repeated within one dictionary included, throws
/// KeyMappingError::unsupportedShape; no part of a list is ever returned.
std::optional<KeyMappingList> decodeKeyMappingList(const std::optional<Value> &property);

/// An array of one dictionary per entry, in list order, with integer values.
Value encodeKeyMappingList(const KeyMappingList &list);

/// What longLongValue makes of a real: truncated toward zero, saturated at
/// the 64-bit limits, NaN as 0, where a plain conversion would be undefined.
std::int64_t truncatedToInt64(double real) noexcept;

} // namespace FnRemapKit::HID
