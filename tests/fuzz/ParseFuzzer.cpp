// Checks FnGuardArguments::parse against an independent reading of the
// grammar: magnitudes accumulated in 128 bits and range-checked at the end,
// rather than checked arithmetic at every step. Arguments are separated by
// NUL bytes, program name first.
#include "FnRemapKit/FnGuardArguments.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using FnRemapKit::FnGuardArguments;

namespace {

using Wide = __int128;

std::optional<Wide> referenceNumber(std::string_view text, int base, Wide low, Wide high) {
  static const char digits[] = "0123456789abcdef0123456789ABCDEF";
  std::size_t start = 0;
  Wide sign = 1;
  if (!text.empty() && std::strchr("+-", text[0]) && text[0] != '\0') {
    sign = text[0] == '-' ? -1 : 1;
    start = 1;
  }
  if (start == text.size())
    return std::nullopt;
  Wide magnitude = 0;
  for (std::size_t i = start; i < text.size(); ++i) {
    const void *at = text[i] ? std::memchr(digits, text[i], 32) : nullptr;
    if (!at)
      return std::nullopt;
    const int digit = int(static_cast<const char *>(at) - digits) % 16;
    if (digit >= base)
      return std::nullopt;
    magnitude = magnitude * base + digit;
    if (magnitude > (Wide(1) << 64)) // far out of range; stop before 128 bits overflow
      return std::nullopt;
  }
  const Wide value = sign * magnitude;
  if (value < low || value > high)
    return std::nullopt;
  return value;
}

std::optional<Wide> referenceUsage(std::string_view text) {
  const Wide low = INT64_MIN, high = INT64_MAX;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return referenceNumber(text.substr(2), 16, low, high);
  return referenceNumber(text, 10, low, high);
}

std::optional<FnGuardArguments> reference(const std::vector<std::string_view> &arguments) {
  if (arguments.size() != 4)
    return std::nullopt;
  const auto parent = referenceNumber(arguments[1], 10, 2, INT32_MAX);
  const auto src = referenceUsage(arguments[2]);
  const auto dst = referenceUsage(arguments[3]);
  if (!parent || !src || !dst)
    return std::nullopt;
  return FnGuardArguments(std::int32_t(*parent),
                          FnRemapKit::FnRemapMapping::entry(std::int64_t(*src), std::int64_t(*dst)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<std::string_view> arguments;
  const char *text = reinterpret_cast<const char *>(data);
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= size; ++i)
    if (i == size || text[i] == '\0') {
      arguments.emplace_back(text + begin, i - begin);
      begin = i + 1;
    }
  const auto parsed = FnGuardArguments::parse(arguments);
  const auto expected = reference(arguments);
  if (parsed != expected) {
    std::fprintf(stderr, "parse and the reference disagree: parse %s, reference %s\n",
                 parsed ? "accepted" : "rejected", expected ? "accepted" : "rejected");
    std::abort();
  }
  return 0;
}
