// SPDX-License-Identifier: Apache-2.0
#include "FnRemapKit/FnGuardArguments.hpp"

#include <cinttypes>
#include <cstdio>

namespace FnRemapKit {
namespace {

int digitValue(char c, int base) {
  int value = 99;
  if (c >= '0' && c <= '9')
    value = c - '0';
  else if (c >= 'a' && c <= 'f')
    value = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    value = c - 'A' + 10;
  return value < base ? value : -1;
}

// One optional sign, then digits of the base only. The value is built from
// the left and every step is checked, so the most negative value is reachable
// with "-" while its magnitude without it overflows.
template <class Int>
std::optional<Int> readInteger(std::string_view text, int base) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty())
    return std::nullopt;
  Int value = 0;
  for (char c : text) {
    const int digit = digitValue(c, base);
    if (digit < 0 || __builtin_mul_overflow(value, base, &value))
      return std::nullopt;
    if (negative ? __builtin_sub_overflow(value, digit, &value)
                 : __builtin_add_overflow(value, digit, &value))
      return std::nullopt;
  }
  return value;
}

} // namespace

std::optional<std::int64_t> FnGuardArguments::parseUsage(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return readInteger<std::int64_t>(text.substr(2), 16);
  return readInteger<std::int64_t>(text, 10);
}

std::string FnGuardArguments::formatUsage(std::int64_t usage) {
  // Negated as unsigned, so that the most negative value has a magnitude.
  const std::uint64_t magnitude =
      usage < 0 ? 0 - static_cast<std::uint64_t>(usage) : static_cast<std::uint64_t>(usage);
  char text[24];
  std::snprintf(text, sizeof text, "0x%s%" PRIX64, usage < 0 ? "-" : "", magnitude);
  return text;
}

std::optional<FnGuardArguments>
FnGuardArguments::parse(std::span<const std::string_view> arguments) {
  if (arguments.size() != 4)
    return std::nullopt;
  const auto parent = readInteger<std::int32_t>(arguments[1], 10);
  if (!parent || *parent < 2)
    return std::nullopt;
  const auto src = parseUsage(arguments[2]);
  if (!src)
    return std::nullopt;
  const auto dst = parseUsage(arguments[3]);
  if (!dst)
    return std::nullopt;
  return FnGuardArguments(*parent, FnRemapMapping::entry(*src, *dst));
}

} // namespace FnRemapKit
