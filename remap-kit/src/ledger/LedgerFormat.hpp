// SPDX-License-Identifier: Apache-2.0
//===- ledger/LedgerFormat.hpp - The ledger's text ------------------------===//
//
//   {"version": 1,
//    "holds": [
//     {"application": {"pid": 4242, "start": 1234}, "guard": {"pid": 4243, "start": 1240},
//      "boot": "0f4e...", "entry": {"HIDKeyboardModifierMappingDst": 30064771182,
//                                   "HIDKeyboardModifierMappingSrc": 1095216660483}}],
//    "displaced": [
//     {"source": 1095216660483, "entries": [{"HIDKeyboardModifierMappingSrc": ..., ...}]}]}
//
// JSON. Every version starts with its "version", so that a later one is
// known as such whatever else it holds and however long it is. This
// version's is read strictly, in near-linear time: every key once
// and none unknown, integers only, strings of UTF-8 with the escapes the
// writer makes, 1 MiB at most. The reader is our own, small and the same
// on every platform, so that the ledger needs no library.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/KeyMappingLedger.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace FnRemapKit::Ledger {

/// The version this FnRemapKit writes and reads.
inline constexpr std::int64_t currentVersion = 1;

/// The longest text of this version that is read; a longer one is damaged.
/// Only its first maximumSize + 1 bytes need be read to tell.
inline constexpr std::size_t maximumSize = std::size_t{1} << 20;

/// The text of \p holds.
std::string format(const KeyMappingHolds &holds);

/// What a text holds: the holds (state read), or why there are none to be
/// had from it (damaged: not a ledger of this version or any; newer: one
/// that starts {"version": N with N above ours, whatever follows).
KeyMappingLedger::Loaded parse(std::string_view text);

} // namespace FnRemapKit::Ledger
