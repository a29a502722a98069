// SPDX-License-Identifier: Apache-2.0
//===- FnRemapKit/FnGuardArguments.hpp - The guard's command line ---------===//
#pragma once

#include "FnRemapKit/KeyMapping.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace FnRemapKit {

/// The guard's command line in parsed form: the parent process to watch and
/// the entry to take out of the system list once it has exited.
class FnGuardArguments {
public:
  /// The line printed on a rejected command line, without a line break.
  static constexpr std::string_view usage =
      "usage: tarnwick-fn-guard <parent-pid> <src-usage> <dst-usage>";

  /// Stores both fields unchanged; only parse() checks them.
  FnGuardArguments(std::int32_t parent, KeyMappingEntry entry)
      : parentPid(parent), ourEntry(std::move(entry)) {}

  std::int32_t parent() const noexcept { return parentPid; }
  const KeyMappingEntry &entry() const noexcept { return ourEntry; }

  friend bool operator==(const FnGuardArguments &,
                         const FnGuardArguments &) = default;

  /// Reads the whole argument vector, program name first (never examined):
  ///
  ///   <parent-pid> <src-usage> <dst-usage>
  ///
  /// The pid is decimal, within the signed 32-bit range and at least 2. Each
  /// usage is a signed 64-bit value, decimal or hexadecimal after a leading
  /// "0x" or "0X"; a sign may follow the prefix but not precede it. Numbers
  /// take one optional sign and digits only: no blanks, no other characters,
  /// leading zeros allowed, out of range rejected. Anything else, including
  /// a vector of any other length, gives std::nullopt.
  static std::optional<FnGuardArguments>
  parse(std::span<const std::string_view> arguments);

  /// The text of \p usage that parse() reads back as the same value, for
  /// every signed 64-bit value: "0x", then "-" when negative, then the
  /// magnitude in upper-case hexadecimal ("0x-1A" for -26).
  static std::string formatUsage(std::int64_t usage);

private:
  static std::optional<std::int64_t> parseUsage(std::string_view text);

  std::int32_t parentPid;
  KeyMappingEntry ourEntry;
};

} // namespace FnRemapKit
