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
// JSON, read strictly: every key once and none unknown, integers only,
// strings with the escapes the writer makes. The reader is our own, small
// and the same on every platform, so that the ledger needs no library.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/KeyMappingLedger.hpp"

#include <string>
#include <string_view>

namespace FnRemapKit::Ledger {

/// The version this FnRemapKit writes and reads.
inline constexpr std::int64_t currentVersion = 1;

/// The text of \p holds.
std::string format(const KeyMappingHolds &holds);

/// What a text holds: the holds (state read), or why there are none to be
/// had from it (damaged: not a ledger of this version or any; newer: a
/// later version's, whatever else it holds).
KeyMappingLedger::Loaded parse(std::string_view text);

} // namespace FnRemapKit::Ledger
