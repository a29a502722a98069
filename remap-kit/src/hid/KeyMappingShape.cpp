// SPDX-License-Identifier: Apache-2.0
#include "KeyMappingShape.hpp"

#include "FnRemapKit/KeyMappingStore.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace FnRemapKit {
namespace {

// Equality as a value: the same kinds, reals bit for bit, dictionaries in
// any order, as the platforms keep them.
bool same(const HID::Value &a, const HID::Value &b) {
  using namespace HID;
  if (a.kind.index() != b.kind.index())
    return false;
  if (const auto *real = std::get_if<double>(&a.kind))
    return std::bit_cast<std::uint64_t>(*real) == std::bit_cast<std::uint64_t>(std::get<double>(b.kind));
  if (const auto *array = std::get_if<Array>(&a.kind))
    return std::ranges::equal(*array, std::get<Array>(b.kind), same);
  const auto *dictionary = std::get_if<Dictionary>(&a.kind);
  if (!dictionary)
    return a == b;
  const auto &other = std::get<Dictionary>(b.kind);
  const auto within = [](const Dictionary &some, const Dictionary &all) {
    return std::ranges::all_of(some, [&](const DictionaryEntry &entry) {
      return std::ranges::any_of(all, [&](const DictionaryEntry &match) {
        return same(entry.key, match.key) && same(entry.value, match.value);
      });
    });
  };
  return dictionary->size() == other.size() && within(*dictionary, other) && within(other, *dictionary);
}

} // namespace

ForeignKeyMappingEntry::ForeignKeyMappingEntry(HID::Value value)
    : carried(std::make_shared<const HID::Value>(std::move(value))) {}

const HID::Value &ForeignKeyMappingEntry::value() const noexcept { return *carried; }

bool operator==(const ForeignKeyMappingEntry &a, const ForeignKeyMappingEntry &b) noexcept {
  return a.carried == b.carried || same(*a.carried, *b.carried);
}

namespace HID {
namespace {

[[noreturn]] void unsupported() { throw KeyMappingError::unsupportedShape; }

// A dictionary with string keys, each once, is an entry; it is ours to
// read when its values are all integers, else carried as it is.
KeyMappingElement elementOf(const Value &element) {
  const auto *dictionary = std::get_if<Dictionary>(&element.kind);
  if (!dictionary)
    unsupported();
  KeyMappingEntry entry;
  bool integers = true;
  for (const auto &[key, value] : *dictionary) {
    const auto *name = std::get_if<std::string>(&key.kind);
    const auto *integer = std::get_if<std::int64_t>(&value.kind);
    if (!name || !entry.emplace(*name, integer ? *integer : 0).second)
      unsupported();
    integers = integers && integer;
  }
  if (!integers)
    return ForeignKeyMappingEntry(element);
  return entry;
}

} // namespace

std::optional<KeyMappingList> decodeKeyMappingList(const std::optional<Value> &property) {
  if (!property)
    return std::nullopt;
  const auto *array = std::get_if<Array>(&property->kind);
  if (!array)
    unsupported();
  KeyMappingList list;
  list.reserve(array->size());
  for (const auto &element : *array)
    list.push_back(elementOf(element));
  return list;
}

Value encodeKeyMappingList(const KeyMappingList &list) {
  Array array;
  array.reserve(list.size());
  for (const auto &element : list) {
    if (const auto *foreign = element.foreign()) {
      array.push_back(foreign->value());
      continue;
    }
    Dictionary dictionary;
    dictionary.reserve(element.entry()->size());
    for (const auto &[key, number] : *element.entry())
      dictionary.push_back({Value{key}, Value{number}});
    array.push_back(Value{std::move(dictionary)});
  }
  return Value{std::move(array)};
}

} // namespace HID
} // namespace FnRemapKit
