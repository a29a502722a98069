// SPDX-License-Identifier: Apache-2.0
#include "LedgerFormat.hpp"

#include <array>
#include <charconv>
#include <cstdio>
#include <iterator>
#include <optional>
#include <utility>
#include <variant>

namespace FnRemapKit::Ledger {
namespace {

// --- Writing ---------------------------------------------------------------

void quote(std::string &out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[7];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
}

void writeEntry(std::string &out, const KeyMappingEntry &entry) {
  out += '{';
  const char *separator = "";
  for (const auto &[key, value] : entry) {
    out += separator;
    quote(out, key);
    out += ": " + std::to_string(value);
    separator = ", ";
  }
  out += '}';
}

void writeProcess(std::string &out, const ProcessIdentity &process) {
  out += "{\"pid\": " + std::to_string(process.pid) + ", \"start\": " + std::to_string(process.start) + "}";
}

// --- Reading ---------------------------------------------------------------

struct Json;
using Object = std::vector<std::pair<std::string, Json>>;
using Array = std::vector<Json>;
/// An integer is kept as its text, to be read in the range its field needs.
struct Integer {
  std::string_view text;
};
struct Json {
  std::variant<Integer, std::string, Array, Object> value;
};

/// The ledger nests four levels deep; deeper is not ours.
constexpr int maximumDepth = 6;

class Reader {
public:
  explicit Reader(std::string_view text) : text(text) {}

  /// The version's digits, as every version starts its text:
  /// {"version": N, with N an integer; nothing when it does not start so.
  std::optional<std::string_view> leadingVersion() {
    if (!take('{'))
      return std::nullopt;
    skipBlanks();
    if (at >= text.size() || text[at] != '"' || parseString() != "version" || !take(':'))
      return std::nullopt;
    skipBlanks();
    const auto number = parseInteger();
    if (!number || (at < text.size() && (text[at] == '.' || text[at] == 'e' || text[at] == 'E')))
      return std::nullopt;
    return std::get<Integer>(number->value).text;
  }

  std::optional<Json> document() {
    auto value = parseValue(0);
    skipBlanks();
    if (!value || at != text.size())
      return std::nullopt;
    return value;
  }

private:
  void skipBlanks() {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\n' || text[at] == '\t' || text[at] == '\r'))
      ++at;
  }
  bool take(char c) {
    skipBlanks();
    if (at < text.size() && text[at] == c) {
      ++at;
      return true;
    }
    return false;
  }

  std::optional<Json> parseValue(int depth) {
    if (depth > maximumDepth)
      return std::nullopt;
    skipBlanks();
    if (at >= text.size())
      return std::nullopt;
    if (text[at] == '{')
      return parseObject(depth);
    if (text[at] == '[')
      return parseArray(depth);
    if (text[at] == '"') {
      auto string = parseString();
      return string ? std::optional(Json{std::move(*string)}) : std::nullopt;
    }
    return parseInteger();
  }

  std::optional<Json> parseObject(int depth) {
    ++at;
    Object members;
    if (take('}'))
      return Json{std::move(members)};
    do {
      skipBlanks();
      auto key = at < text.size() && text[at] == '"' ? parseString() : std::nullopt;
      if (!key || !take(':'))
        return std::nullopt;
      // A key twice is found by the shape's reading, which looks up every
      // key anyway: a scan here would make a long entry quadratic.
      auto value = parseValue(depth + 1);
      if (!value)
        return std::nullopt;
      members.emplace_back(std::move(*key), std::move(*value));
    } while (take(','));
    return take('}') ? std::optional(Json{std::move(members)}) : std::nullopt;
  }

  std::optional<Json> parseArray(int depth) {
    ++at;
    Array elements;
    if (take(']'))
      return Json{std::move(elements)};
    do {
      auto value = parseValue(depth + 1);
      if (!value)
        return std::nullopt;
      elements.push_back(std::move(*value));
    } while (take(','));
    return take(']') ? std::optional(Json{std::move(elements)}) : std::nullopt;
  }

  // Only the escapes the writer makes: \" \\ and \u00XX below 0x20; and
  // only UTF-8, since no list takes a key that is not.
  std::optional<std::string> parseString() {
    ++at;
    std::string out;
    while (at < text.size()) {
      const char c = text[at];
      if (c == '"') {
        ++at;
        return out;
      }
      if (static_cast<unsigned char>(c) < 0x20)
        return std::nullopt;
      if (c != '\\') {
        const std::size_t length = sequenceLength();
        if (length == 0)
          return std::nullopt;
        out.append(text.substr(at, length));
        at += length;
        continue;
      }
      ++at;
      if (at < text.size() && (text[at] == '"' || text[at] == '\\')) {
        out += text[at++];
        continue;
      }
      unsigned code = 0;
      if (text.substr(at, 3) != "u00" || at + 5 > text.size())
        return std::nullopt;
      const auto [end, error] = std::from_chars(text.data() + at + 3, text.data() + at + 5, code, 16);
      if (error != std::errc() || end != text.data() + at + 5 || code >= 0x20)
        return std::nullopt;
      out += static_cast<char>(code);
      at += 5;
    }
    return std::nullopt;
  }

  // The length of the UTF-8 sequence that starts here; 0 for one that is
  // not well formed: cut short, overlong, a surrogate, or past U+10FFFF.
  std::size_t sequenceLength() const {
    const auto byte = [&](std::size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u; };
    const auto follows = [&](std::size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
      return byte(i) >= low && byte(i) <= high;
    };
    const unsigned lead = byte(0);
    if (lead < 0x80)
      return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
      return follows(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF)
      return follows(1, lead == 0xE0 ? 0xA0 : 0x80, lead == 0xED ? 0x9F : 0xBF) && follows(2) ? 3 : 0;
    if (lead >= 0xF0 && lead <= 0xF4)
      return follows(1, lead == 0xF0 ? 0x90 : 0x80, lead == 0xF4 ? 0x8F : 0xBF) && follows(2) && follows(3) ? 4 : 0;
    return 0;
  }

  // JSON's integers: an optional minus, then 0 or digits not led by 0.
  std::optional<Json> parseInteger() {
    const std::size_t start = at;
    if (at < text.size() && text[at] == '-')
      ++at;
    const std::size_t digits = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9')
      ++at;
    if (at == digits || (text[digits] == '0' && at - digits > 1))
      return std::nullopt;
    return Json{Integer{text.substr(start, at - start)}};
  }

  std::string_view text;
  std::size_t at = 0;
};

template <typename T> std::optional<T> integerOf(const Json &json) {
  const auto *integer = std::get_if<Integer>(&json.value);
  T value{};
  if (!integer)
    return std::nullopt;
  const auto [end, error] = std::from_chars(integer->text.data(), integer->text.data() + integer->text.size(), value);
  if (error != std::errc() || end != integer->text.data() + integer->text.size())
    return std::nullopt;
  return value;
}

/// The members of an object that has exactly \p names, in that order of
/// the result; nothing for anything else.
template <std::size_t N>
std::optional<std::array<const Json *, N>> fields(const Json &json, const std::array<std::string_view, N> &names) {
  const auto *object = std::get_if<Object>(&json.value);
  if (!object || object->size() != N)
    return std::nullopt;
  std::array<const Json *, N> found{};
  for (const auto &[key, value] : *object) {
    std::size_t i = 0;
    while (i < N && names[i] != key)
      ++i;
    if (i == N || found[i])
      return std::nullopt;
    found[i] = &value;
  }
  return found;
}

std::optional<KeyMappingEntry> entryOf(const Json &json) {
  const auto *object = std::get_if<Object>(&json.value);
  if (!object)
    return std::nullopt;
  KeyMappingEntry entry;
  for (const auto &[key, value] : *object) {
    const auto number = integerOf<std::int64_t>(value);
    if (!number)
      return std::nullopt;
    // In the writer's order, each key goes at the end in constant time.
    if (!entry.empty() && std::prev(entry.end())->first < key)
      entry.emplace_hint(entry.end(), key, *number);
    else if (!entry.emplace(key, *number).second)
      return std::nullopt;
  }
  return entry;
}

std::optional<ProcessIdentity> processOf(const Json &json) {
  const auto members = fields<2>(json, {"pid", "start"});
  if (!members)
    return std::nullopt;
  const auto pid = integerOf<std::int32_t>(*(*members)[0]);
  const auto start = integerOf<std::uint64_t>(*(*members)[1]);
  if (!pid || !start)
    return std::nullopt;
  return ProcessIdentity{*pid, *start};
}

std::optional<KeyMappingHold> holdOf(const Json &json) {
  const auto members = fields<4>(json, {"application", "guard", "boot", "entry"});
  if (!members)
    return std::nullopt;
  const auto application = processOf(*(*members)[0]);
  const auto guard = processOf(*(*members)[1]);
  const auto *boot = std::get_if<std::string>(&(*members)[2]->value);
  const auto entry = entryOf(*(*members)[3]);
  if (!application || !guard || !boot || !entry)
    return std::nullopt;
  return KeyMappingHold{*application, *guard, *boot, *entry};
}

std::optional<KeyMappingHolds> holdsOf(const Json &holdsJson, const Json &displacedJson) {
  const auto *holds = std::get_if<Array>(&holdsJson.value);
  const auto *displaced = std::get_if<Array>(&displacedJson.value);
  if (!holds || !displaced)
    return std::nullopt;
  KeyMappingHolds result;
  for (const auto &element : *holds) {
    auto hold = holdOf(element);
    if (!hold)
      return std::nullopt;
    result.holds.push_back(std::move(*hold));
  }
  for (const auto &element : *displaced) {
    const auto members = fields<2>(element, {"source", "entries"});
    const auto source = members ? integerOf<std::int64_t>(*(*members)[0]) : std::nullopt;
    const auto *entries = members ? std::get_if<Array>(&(*members)[1]->value) : nullptr;
    if (!source || !entries || result.displaced.contains(*source))
      return std::nullopt;
    auto &list = result.displaced[*source];
    for (const auto &entryJson : *entries) {
      auto entry = entryOf(entryJson);
      if (!entry)
        return std::nullopt;
      list.push_back(std::move(*entry));
    }
  }
  return result;
}

} // namespace

std::string format(const KeyMappingHolds &holds) {
  std::string out = "{\"version\": " + std::to_string(currentVersion) + ",\n \"holds\": [";
  const char *separator = "\n  ";
  for (const auto &hold : holds.holds) {
    out += separator;
    out += "{\"application\": ";
    writeProcess(out, hold.application);
    out += ", \"guard\": ";
    writeProcess(out, hold.guard);
    out += ", \"boot\": ";
    quote(out, hold.boot);
    out += ", \"entry\": ";
    writeEntry(out, hold.entry);
    out += '}';
    separator = ",\n  ";
  }
  out += "],\n \"displaced\": [";
  separator = "\n  ";
  for (const auto &[source, entries] : holds.displaced) {
    out += separator;
    out += "{\"source\": " + std::to_string(source) + ", \"entries\": [";
    const char *between = "";
    for (const auto &entry : entries) {
      out += between;
      writeEntry(out, entry);
      between = ", ";
    }
    out += "]}";
    separator = ",\n  ";
  }
  out += "]}\n";
  return out;
}

KeyMappingLedger::Loaded parse(std::string_view text) {
  using State = KeyMappingLedger::Loaded::State;
  // A later version may change everything but its start: a version number
  // above ours, however large, whatever follows.
  const auto version = Reader(text).leadingVersion();
  const std::string ours = std::to_string(currentVersion);
  if (!version)
    return {State::damaged, {}};
  // JSON's integers have no leading zero: the longer is the larger.
  if (version->front() != '-' && (version->size() > ours.size() || (version->size() == ours.size() && *version > ours)))
    return {State::newer, {}};
  if (*version != ours || text.size() > maximumSize)
    return {State::damaged, {}};
  const auto document = Reader(text).document();
  const auto members = document ? fields<3>(*document, {"version", "holds", "displaced"}) : std::nullopt;
  if (!members)
    return {State::damaged, {}};
  auto holds = holdsOf(*(*members)[1], *(*members)[2]);
  if (!holds)
    return {State::damaged, {}};
  return {State::read, std::move(*holds)};
}

} // namespace FnRemapKit::Ledger
