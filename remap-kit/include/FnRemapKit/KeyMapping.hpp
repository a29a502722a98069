// SPDX-License-Identifier: Apache-2.0
//===- FnRemapKit/KeyMapping.hpp - Key mapping entries and list rules -----===//
//
// The HID event system keeps its user key mapping as an ordered list of
// entries, each a dictionary from key name to a signed 64-bit HID usage value
// (usage page above bit 32, usage in the low 32 bits). The list is every
// tool's, and some write entries with other values: those are carried
// whole, never judged.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace FnRemapKit {

namespace HID {
struct Value;
}

/// One entry of the system key mapping list. Key order plays no part, and the
/// map's operator== is exactly entry equality: the same number of keys, and
/// every key of one present in the other with the same value.
using KeyMappingEntry = std::map<std::string, std::int64_t>;

/// An entry of the list whose values are not all integers (a real, a
/// boolean, a string, a null, a container, an empty one), as another tool
/// wrote it. A store writes it back as it read it. It equals what holds the
/// same value: the same kinds, reals bit for bit (a NaN equals itself, -0.0
/// is not 0.0), containers whole, a dictionary's keys in any order. It is
/// never ours: it equals no KeyMappingEntry, its source matches none, and
/// the ledger never records it.
class ForeignKeyMappingEntry {
public:
  /// \p value is the whole dictionary, in the stores' own model.
  explicit ForeignKeyMappingEntry(HID::Value value);

  const HID::Value &value() const noexcept;

  friend bool operator==(const ForeignKeyMappingEntry &, const ForeignKeyMappingEntry &) noexcept;

private:
  // Immutable, so copies share it: a list copied from a read compares with
  // that read at once.
  std::shared_ptr<const HID::Value> carried;
};

/// One element of the list: a KeyMappingEntry, which it converts from
/// implicitly, or a foreign entry.
class KeyMappingElement {
public:
  KeyMappingElement() = default;
  KeyMappingElement(KeyMappingEntry entry) : kind(std::move(entry)) {}
  KeyMappingElement(std::initializer_list<KeyMappingEntry::value_type> keys) : kind(KeyMappingEntry(keys)) {}
  KeyMappingElement(ForeignKeyMappingEntry foreign) : kind(std::move(foreign)) {}

  /// The entry; null for a foreign one.
  const KeyMappingEntry *entry() const noexcept { return std::get_if<KeyMappingEntry>(&kind); }
  /// The foreign entry; null for a KeyMappingEntry.
  const ForeignKeyMappingEntry *foreign() const noexcept { return std::get_if<ForeignKeyMappingEntry>(&kind); }

  friend bool operator==(const KeyMappingElement &, const KeyMappingElement &) = default;
  friend bool operator==(const KeyMappingElement &element, const KeyMappingEntry &entry) {
    const auto *own = element.entry();
    return own && *own == entry;
  }

private:
  std::variant<KeyMappingEntry, ForeignKeyMappingEntry> kind;
};

/// The system key mapping list. Every operation keeps the order of the
/// entries it keeps.
using KeyMappingList = std::vector<KeyMappingElement>;

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
/// (its srcKey value, or none) differs from that of \p ours, foreign ones
/// among them, in order, then \p ours once at the end.
KeyMappingList merging(const KeyMappingList &existing,
                       const KeyMappingEntry &ours);

/// The list with \p ours taken out and what the install displaced put back:
/// the entries of \p current not equal to \p ours, in order, then the entries
/// of \p original whose source matches that of \p ours (no foreign one), in
/// order.
///
/// For any list L, restoring(merging(L, ours), ours, L) holds exactly the
/// entries of L: first those whose source differs from ours, then the rest.
KeyMappingList restoring(const KeyMappingList &current,
                         const KeyMappingEntry &ours,
                         const KeyMappingList &original);

} // namespace FnRemapMapping
} // namespace FnRemapKit
