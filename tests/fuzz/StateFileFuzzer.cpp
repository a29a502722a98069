// Feeds arbitrary bytes to the stand-in's state file reader and checks the
// outcome against a reading of the same text as a plain JSON document: the
// reader must return the whole list the document holds, entry for entry, or
// refuse it with KeyMappingError for a reason the document shows. Anything
// else escaping, or any disagreement, aborts.
#include "FnRemapKit/KeyMappingStore.hpp"
#include "hid/KeyMappingShape.hpp"
#include "hid/StateFile.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

using namespace FnRemapKit;
using Json = nlohmann::ordered_json; // keeps each object's keys in document order

namespace {

[[noreturn]] void disagree(const char *what) {
  std::fprintf(stderr, "state-file-fuzzer: %s\n", what);
  std::abort();
}

std::int64_t referenceTruncation(double real) {
  return std::isnan(real) ? 0 : real >= 0x1p63 ? INT64_MAX : real < -0x1p63 ? INT64_MIN : std::int64_t(std::trunc(real));
}

/// The number tokens of \p text in document order, each read here rather
/// than by the JSON library: an integer token (no '.', 'e' or 'E') exactly,
/// nothing when one lies outside 64 bits; a real by strtod, truncated.
std::optional<std::vector<std::int64_t>> referenceNumbers(std::string_view text) {
  std::vector<std::int64_t> numbers;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '"') // a string, escapes and all
      for (++i; i < text.size() && text[i] != '"'; ++i)
        i += text[i] == '\\';
    if (i >= text.size() || (text[i] != '-' && (text[i] < '0' || text[i] > '9'))) {
      ++i;
      continue;
    }
    const std::size_t end = std::min(text.find_first_not_of("0123456789+-.eE", i), text.size());
    const std::string token(text.substr(i, end - i));
    i = end;
    if (token.find_first_of(".eE") != std::string::npos) {
      numbers.push_back(referenceTruncation(std::strtod(token.c_str(), nullptr)));
      continue;
    }
    __int128 magnitude = 0;
    for (char digit : std::string_view(token).substr(token[0] == '-'))
      if ((magnitude = magnitude * 10 + (digit - '0')) > (__int128(1) << 64))
        return std::nullopt;
    const __int128 value = token[0] == '-' ? -magnitude : magnitude;
    if (value < INT64_MIN || value > INT64_MAX)
      return std::nullopt;
    numbers.push_back(static_cast<std::int64_t>(value));
  }
  return numbers;
}

/// The list the document holds, or nothing when it is no list: not JSON, not
/// an array of objects of numbers, an integer outside 64 bits, a key twice.
/// The library gives the structure, in document order; the numbers are read
/// from the text on their own.
std::optional<KeyMappingList> referenceList(std::string_view text) {
  std::vector<std::set<std::string>> openKeys;
  bool repeated = false;
  const Json::parser_callback_t watchKeys = [&](int, Json::parse_event_t event, Json &parsed) {
    if (event == Json::parse_event_t::object_start)
      openKeys.emplace_back();
    else if (event == Json::parse_event_t::object_end)
      openKeys.pop_back();
    else if (event == Json::parse_event_t::key && !openKeys.back().insert(parsed.get<std::string>()).second)
      repeated = true;
    return true;
  };
  // JSON has no place for a NUL byte; the library would stop reading there.
  if (text.find('\0') != std::string_view::npos)
    return std::nullopt;
  const Json document = Json::parse(text, watchKeys, false);
  if (document.is_discarded() || repeated || !document.is_array())
    return std::nullopt;
  const auto numbers = referenceNumbers(text);
  if (!numbers)
    return std::nullopt;
  KeyMappingList list;
  std::size_t next = 0;
  for (const auto &element : document) {
    if (!element.is_object())
      return std::nullopt;
    KeyMappingEntry entry;
    for (const auto &[key, number] : element.items()) {
      if (!number.is_number() || next == numbers->size())
        return std::nullopt;
      entry[key] = (*numbers)[next++];
    }
    list.push_back(std::move(entry));
  }
  return list;
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
  if (!read)
    return 0;
  if (*read != *expected)
    disagree("read a different list");

  const auto written = HID::formatStateFile(HID::encodeKeyMappingList(*read));
  if (!written)
    disagree("cannot write back a list it read");
  if (HID::decodeKeyMappingList(HID::parseStateFile(*written)) != read)
    disagree("list changed on the way through a write");
  return 0;
}
