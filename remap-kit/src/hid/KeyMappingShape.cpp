#include "KeyMappingShape.hpp"

#include "FnRemapKit/KeyMappingStore.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace FnRemapKit::HID {
namespace {

[[noreturn]] void unsupported() { throw KeyMappingError::unsupportedShape; }

std::int64_t numberOf(const Value &value) {
  if (const auto *integer = std::get_if<std::int64_t>(&value.kind))
    return *integer;
  if (const auto *real = std::get_if<double>(&value.kind))
    return truncatedToInt64(*real);
  unsupported();
}

KeyMappingEntry entryOf(const Value &element) {
  const auto *dictionary = std::get_if<Dictionary>(&element.kind);
  if (!dictionary)
    unsupported();
  KeyMappingEntry entry;
  for (const auto &[key, value] : *dictionary) {
    const auto *name = std::get_if<std::string>(&key.kind);
    if (!name || !entry.emplace(*name, numberOf(value)).second)
      unsupported();
  }
  return entry;
}

} // namespace

std::int64_t truncatedToInt64(double real) noexcept {
  constexpr double twoTo63 = 9223372036854775808.0;
  if (std::isnan(real))
    return 0;
  if (real >= twoTo63)
    return std::numeric_limits<std::int64_t>::max();
  if (real <= -twoTo63)
    return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(real);
}

std::optional<KeyMappingList> decodeKeyMappingList(const std::optional<Value> &property) {
  if (!property)
    return std::nullopt;
  const auto *array = std::get_if<Array>(&property->kind);
  if (!array)
    unsupported();
  KeyMappingList list;
  list.reserve(array->size());
  for (const auto &element : *array)
    list.push_back(entryOf(element));
  return list;
}

Value encodeKeyMappingList(const KeyMappingList &list) {
  Array array;
  array.reserve(list.size());
  for (const auto &entry : list) {
    Dictionary dictionary;
    dictionary.reserve(entry.size());
    for (const auto &[key, number] : entry)
      dictionary.push_back({Value{key}, Value{number}});
    array.push_back(Value{std::move(dictionary)});
  }
  return Value{std::move(array)};
}

} // namespace FnRemapKit::HID
