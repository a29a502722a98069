//===- FnRemapKit/KeyMapping.hpp - Key mapping entries and list rules -----===//
//
// The HID event system keeps its user key mapping as an ordered list of
// entries, each a dictionary from key name to a signed 64-bit HID usage value
// (usage page above bit 32, usage in the low 32 bits).
//
//===----------------------------------------------------------------------===//
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace FnRemapKit {

/// One entry of the system key mapping list. Key order plays no part, and the
/// map's operator== is exactly entry equality: the same number of keys, and
/// every key of one present in the other with the same value.
using KeyMappingEntry = std::map<std::string, std::int64_t>;

/// The system key mapping list. Every operation keeps the order of the
/// entries it keeps.
using KeyMappingList = std::vector<KeyMappingEntry>;

/// What the module knows about the Fn remap, and the list rules for the side
/// that installs and restores an entry. The guard itself takes both usage
/// values from its command line and never consults the Fn constants.
namespace FnRemapMapping {

inline constexpr std::string_view srcKey = "HIDKeyboardModifierMappingSrc";
inline constexpr std::string_view dstKey = "HIDKeyboardModifierMappingDst";

/// The Fn key: usage page 0xFF (Apple's vendor top case page), usage 0x03.
inline constexpr std::int64_t fnSource = 0xFF00000003;
/// The Fn key as other Apple keyboards report it: usage page 0xFF01
/// (Apple's vendor keyboard page), usage 0x03. Which one a keyboard sends
/// depends on its model; remapping Fn on every Apple keyboard takes a
/// session for each.
inline constexpr std::int64_t fnVendorKeyboardSource = 0xFF0100000003;
/// Keyboard page 0x07, usage 0x6E (F19).
inline constexpr std::int64_t fnDestination = 0x70000006E;
/// The virtual key code that key events carry for the destination key.
inline constexpr std::uint16_t fnDestinationKeyCode = 80;

/// The entry { srcKey: src, dstKey: dst }. Any two values are accepted.
KeyMappingEntry entry(std::int64_t src, std::int64_t dst);

/// True exactly when \p candidate equals \p ours by entry equality.
bool isOurs(const KeyMappingEntry &candidate, const KeyMappingEntry &ours);

/// The list with \p ours installed: every entry of \p existing whose source
/// (its srcKey value, or none) differs from that of \p ours, in order, then
/// \p ours once at the end.
KeyMappingList merging(const KeyMappingList &existing,
                       const KeyMappingEntry &ours);

/// The list with \p ours taken out and what the install displaced put back:
/// the entries of \p current not equal to \p ours, in order, then the entries
/// of \p original whose source matches that of \p ours, in order.
///
/// For any list L, restoring(merging(L, ours), ours, L) holds exactly the
/// entries of L: first those whose source differs from ours, then the rest.
KeyMappingList restoring(const KeyMappingList &current,
                         const KeyMappingEntry &ours,
                         const KeyMappingList &original);

} // namespace FnRemapMapping
} // namespace FnRemapKit
