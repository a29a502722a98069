// SPDX-License-Identifier: Apache-2.0
//===- hid/StateFile.hpp - The stand-in's property file format ------------===//
#pragma once

#include "HIDSystem.hpp"

#include <string>
#include <string_view>

namespace FnRemapKit::HID {

/// The value a state file holds, as JSON. Text that is not JSON, or a value
/// the model cannot hold (an integer beyond the signed 64-bit range, a real
/// beyond a double's, an object naming a key twice, nesting deeper than
/// maximumDepth), throws KeyMappingError::unsupportedShape. Iterative: no
/// input exhausts the stack. Every value formatStateFile writes comes back
/// the same: integers as integers, reals as reals, bit for bit.
Value parseStateFile(std::string_view text);

/// The JSON text of \p value, or nothing for a value JSON cannot hold: a
/// dictionary key that is not a string, data, other objects, a real that is
/// not finite, nesting deeper than maximumDepth.
std::optional<std::string> formatStateFile(const Value &value);

} // namespace FnRemapKit::HID
