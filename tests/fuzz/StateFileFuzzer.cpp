// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes to the stand-in's state file reader and checks the
// outcome against a reading of the same text as a plain JSON document: the
// reader must return the whole list the document holds, entry for entry
// (any not all integers carried whole), or refuse it with KeyMappingError
// for a reason the document shows, and read the same again once written.
// Anything else escaping, or any disagreement, aborts.
#include "FnRemapKit/KeyMappingStore.hpp"
#include "hid/KeyMappingShape.hpp"
#include "hid/StateFile.hpp"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <variant>
#include <vector>

using namespace FnRemapKit;
using Json = nlohmann::ordered_json; // keeps each object's keys in document order
using Number = std::variant<std::int64_t, double>;

namespace {

[[noreturn]] void disagree(const char *what) {
  std::fprintf(stderr, "state-file-fuzzer: %s\n", what);
  std::abort();
}

/// What the text itself says outside its strings: its number tokens in
/// order, each read here rather than by the JSON library (an integer token,
/// with no '.', 'e' or 'E', exactly; a real by strtod), and how many keys it
/// names (its ':'). Nothing when an integer lies outside 64 bits or a real
/// outside a double's range.
std::optional<std::vector<Number>> referenceNumbers(std::string_view text, std::size_t &keys) {
  std::vector<Number> numbers;
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
      auto &integer = std::get<std::int64_t>(numbers.emplace_back(std::int64_t{}));
      if (std::from_chars(token.data(), token.data() + token.size(), integer).ec != std::errc())
        return std::nullopt;
    } else if (!std::isfinite(std::get<double>(numbers.emplace_back(std::strtod(token.c_str(), nullptr))))) {
      return std::nullopt;
    }
  }
  return numbers;
}

/// The model's value of \p json at nesting \p depth, its numbers the next
/// of \p numbers; nothing past the reader's depth. Counts the keys it meets.
std::optional<HID::Value> referenceValue(const Json &json, const std::vector<Number> &numbers, std::size_t &next,
                                         std::size_t depth, std::size_t &keys) {
  using namespace HID;
  if (json.is_number())
    return next < numbers.size() ? std::optional(std::visit([](auto n) { return Value{n}; }, numbers[next++]))
                                 : std::nullopt;
  if (!json.is_structured())
    return json.is_string() ? Value{json.get<std::string>()} : json.is_boolean() ? Value{json.get<bool>()} : Value{Null{}};
  if (depth > maximumDepth)
    return std::nullopt;
  Array elements;
  Dictionary entries;
  keys += json.is_object() ? json.size() : 0;
  for (const auto &[key, element] : json.items()) {
    auto value = referenceValue(element, numbers, next, depth + 1, keys);
    if (!value)
      return std::nullopt;
    json.is_array() ? elements.push_back(std::move(*value)) : entries.push_back({Value{key}, std::move(*value)});
  }
  return json.is_array() ? Value{std::move(elements)} : Value{std::move(entries)};
}

/// The list the document holds, or nothing when it is no list: not JSON (a
/// NUL byte included, where the library would stop reading), not an array
/// of objects, a number the model cannot hold, nesting past the reader's
/// depth, a key twice in an object (which the library keeps once).
std::optional<KeyMappingList> referenceList(std::string_view text) {
  std::size_t colons = 0, keys = 0, next = 0;
  const auto numbers = referenceNumbers(text, colons);
  const Json document = Json::parse(text.find('\0') == std::string_view::npos ? text : "", nullptr, false);
  if (document.is_discarded() || !document.is_array() || !numbers)
    return std::nullopt;
  const auto array = referenceValue(document, *numbers, next, 1, keys);
  if (!array || keys != colons)
    return std::nullopt;
  KeyMappingList list;
  for (const auto &element : std::get<HID::Array>(array->kind)) {
    const auto *dictionary = std::get_if<HID::Dictionary>(&element.kind);
    if (!dictionary)
      return std::nullopt;
    KeyMappingEntry entry;
    for (const auto &[key, value] : *dictionary)
      if (const auto *integer = std::get_if<std::int64_t>(&value.kind))
        entry[std::get<std::string>(key.kind)] = *integer;
    list.push_back(entry.size() == dictionary->size() ? KeyMappingElement(entry) : ForeignKeyMappingEntry(element));
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
  if (read && *read != *expected)
    disagree("read a different list");
  const auto written = read ? HID::formatStateFile(HID::encodeKeyMappingList(*read)) : std::nullopt;
  if (read && (!written || HID::decodeKeyMappingList(HID::parseStateFile(*written)) != read))
    disagree("list changed on the way through a write");
  return 0;
}
