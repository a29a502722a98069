// SPDX-License-Identifier: Apache-2.0
//===- FnRemapKit/KeyMappingStore.hpp - Access to the system list ---------===//
//
// The guard reaches the system key mapping list only through a store, so that
// its logic runs unchanged over the HID event system or a list in memory.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/KeyMapping.hpp"

#include <concepts>
#include <cstddef>
#include <exception>
#include <functional>
#include <optional>

namespace FnRemapKit {

/// A store's contract, on a const store value:
///
/// - read() returns the system's whole list, every entry in order, or
///   std::nullopt when the system holds no list at all: an entry whose
///   values are all integers as a KeyMappingEntry, any other (another
///   tool's, with a real, a boolean, a string, a null or a container among
///   its values) as a ForeignKeyMappingEntry, so that no entry's values make
///   a read fail. It throws when the list cannot be had whole: with
///   KeyMappingError::unsupportedShape when it is not an array of
///   dictionaries with string keys, each key once, or holds what the store
///   cannot carry (as HIDKeyMappingStore says); it never returns part of a
///   list.
/// - write(list) replaces the whole list and returns true when the system
///   accepted it; an empty list is written as an empty list. It never throws.
///   A read after a true write returns a list, never std::nullopt, and each
///   foreign entry written comes back at its place equal to what was written
///   (the same kinds, reals bit for bit, containers whole).
template <class Store>
concept KeyMappingStore = requires(const Store &store,
                                   const KeyMappingList &list) {
  { store.read() } -> std::same_as<std::optional<KeyMappingList>>;
  { store.write(list) } noexcept -> std::same_as<bool>;
};

/// The error a store throws for a system list of the wrong shape. It has one
/// value, KeyMappingError::unsupportedShape; all values are equal and hash
/// alike, and what() is "unsupportedShape".
class KeyMappingError final : public std::exception {
public:
  static const KeyMappingError unsupportedShape;

  const char *what() const noexcept override { return "unsupportedShape"; }

  friend constexpr bool operator==(const KeyMappingError &,
                                   const KeyMappingError &) noexcept {
    return true;
  }

private:
  KeyMappingError() noexcept = default;
};

inline const KeyMappingError KeyMappingError::unsupportedShape;

} // namespace FnRemapKit

template <> struct std::hash<FnRemapKit::KeyMappingError> {
  std::size_t operator()(const FnRemapKit::KeyMappingError &) const noexcept {
    return std::hash<int>{}(0);
  }
};
