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
  const Wide sign = !text.empty() && text[0] == '-' ? -1 : 1;
  if (!text.empty() && (text[0] == '-' || text[0] == '+'))
    text.remove_prefix(1);
  Wide magnitude = 0;
  for (const char c : text) {
    const char *at = c ? std::strchr("0123456789abcdef0123456789ABCDEF", c) : nullptr;
    const int digit = at ? int(at - "0123456789abcdef0123456789ABCDEF") % 16 : 99;
    // Far out of range: stop before 128 bits overflow.
    if (digit >= base || (magnitude = magnitude * base + digit) > (Wide(1) << 64))
      return std::nullopt;
  }
  if (text.empty() || sign * magnitude < low || sign * magnitude > high)
    return std::nullopt;
  return sign * magnitude;
}

std::optional<Wide> referenceUsage(std::string_view text) {
  const bool hex = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  return referenceNumber(text.substr(hex ? 2 : 0), hex ? 16 : 10, INT64_MIN, INT64_MAX);
}

std::optional<FnGuardArguments> reference(const std::vector<std::string_view> &arguments) {
  if (arguments.size() != 4)
    return std::nullopt;
  const auto parent = referenceNumber(arguments[1], 10, 2, INT32_MAX);
  const auto src = referenceUsage(arguments[2]), dst = referenceUsage(arguments[3]);
  if (!parent || !src || !dst)
    return std::nullopt;
  return FnGuardArguments(std::int32_t(*parent), FnRemapKit::FnRemapMapping::entry(std::int64_t(*src), std::int64_t(*dst)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<std::string_view> arguments;
  const char *text = reinterpret_cast<const char *>(data);
  for (std::size_t begin = 0, i = 0; i <= size; ++i)
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
