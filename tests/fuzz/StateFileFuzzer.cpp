// Feeds arbitrary bytes to the stand-in's state file reader and checks the
// outcome against a reading of the same text as a plain JSON document: the
// reader must return the whole list the document holds, entry for entry, or
// refuse it with KeyMappingError for a reason the document shows. Anything
// else escaping, or any disagreement, aborts.
#include "FnRemapKit/KeyMappingStore.hpp"
#include "hid/KeyMappingShape.hpp"
#include "hid/StateFile.hpp"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace FnRemapKit;
using Json = nlohmann::ordered_json; // keeps each object's keys in document order

namespace {

[[noreturn]] void disagree(const char *what) {
  std::fprintf(stderr, "state-file-fuzzer: %s\n", what);
  std::abort();
}

/// What the text itself says outside its strings: its number tokens in
/// order, each read here rather than by the JSON library (an integer token,
/// with no '.', 'e' or 'E', exactly; a real by strtod, truncated), and how
/// many keys it names (its ':'). Nothing when an integer lies outside 64 bits.
std::optional<std::vector<std::int64_t>> referenceNumbers(std::string_view text, std::size_t &keys) {
  std::vector<std::int64_t> numbers;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '"') // a string, escapes and all
      for (++i; i < text.size() && text[i] != '"'; ++i)
        i += text[i] == '\\';
    if (i >= text.size() || (text[i] != '-' && (text[i] < '0' || text[i] > '9'))) {
      keys += i < text.size() && text[i++] == ':';
      continue;
    }
    const std::size_t end = std::min(text.find_first_not_of("0123456789+-.eE", i), text.size());
    const std::string token(text.substr(i, end - i));
    i = end;
    if (token.find_first_of(".eE") == std::string::npos) {
      if (std::from_chars(token.data(), token.data() + token.size(), numbers.emplace_back()).ec != std::errc())
        return std::nullopt;
      continue;
    }
    const double real = std::strtod(token.c_str(), nullptr);
    numbers.push_back(std::isnan(real) ? 0 : real >= 0x1p63 ? INT64_MAX : real < -0x1p63 ? INT64_MIN : std::int64_t(real));
  }
  return numbers;
}

/// The list the document holds, or nothing when it is no list: not JSON (a
/// NUL byte included, where the library would stop reading), not an array of
/// objects of numbers, an integer outside 64 bits, a key twice in an object
/// (which the library keeps once).
std::optional<KeyMappingList> referenceList(std::string_view text) {
  std::size_t keys = 0;
  const auto numbers = referenceNumbers(text, keys);
  const Json document = Json::parse(text.find('\0') == std::string_view::npos ? text : "", nullptr, false);
  if (document.is_discarded() || !document.is_array() || !numbers)
    return std::nullopt;
  KeyMappingList list;
  std::size_t next = 0;
  for (const auto &element : document) {
    if (!element.is_object())
      return std::nullopt;
    KeyMappingEntry &entry = list.emplace_back();
    for (const auto &[key, number] : element.items()) {
      if (!number.is_number() || next == numbers->size())
        return std::nullopt;
      entry[key] = (*numbers)[next++];
    }
    keys -= element.size();
  }
  return keys == 0 ? std::optional(list) : std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  std::optional<KeyMappingList> read;
  try {
    read = HID::decodeKeyMappingList(HID::parseStateFile(text));
  } catch (const KeyMappingError &) {
  }
  // Anything but KeyMappingError escapes and libFuzzer reports it.
  const auto expected = referenceList(text);
  if (read.has_value() != expected.has_value())
    disagree(read ? "accepted what is no list" : "refused a well-formed list");
  if (read && *read != *expected)
    disagree("read a different list");
  const auto written = read ? HID::formatStateFile(HID::encodeKeyMappingList(*read)) : std::nullopt;
  if (read && (!written || HID::decodeKeyMappingList(HID::parseStateFile(*written)) != read))
    disagree("list changed on the way through a write");
  return 0;
}
