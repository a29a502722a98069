// SPDX-License-Identifier: Apache-2.0
// The stand-in's state file, which only the stand-in (off macOS) reads.
#if !defined(__APPLE__)
#include "StateFile.hpp"

#include "FnRemapKit/KeyMappingStore.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace FnRemapKit::HID {
namespace {

using Json = nlohmann::json;

// Builds a Value from parser events with an explicit stack of open
// containers, refusing anything the model cannot hold.
class ValueBuilder final : public nlohmann::json_sax<Json> {
public:
  Value finish() { return std::move(result); }

  bool null() override { return add(Value{Null{}}); }
  bool boolean(bool b) override { return add(Value{b}); }
  bool number_integer(number_integer_t n) override { return add(Value{std::int64_t{n}}); }
  bool number_unsigned(number_unsigned_t n) override {
    if (n > static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max()))
      return false;
    return add(Value{static_cast<std::int64_t>(n)});
  }
  // The reader hands over an integer token beyond 64 bits as a real; taken
  // as one, it would be written back as another number. (A real beyond a
  // double's range it refuses itself.)
  bool number_float(number_float_t n, const string_t &token) override {
    if (token.find_first_of(".eE") == string_t::npos)
      return false;
    return add(Value{double{n}});
  }
  bool string(string_t &s) override { return add(Value{std::move(s)}); }
  bool binary(binary_t &) override { return false; }
  bool start_object(std::size_t) override { return open(Value{Dictionary{}}); }
  bool key(string_t &k) override {
    std::get<Dictionary>(open_.back().kind).push_back({Value{std::move(k)}, Value{Null{}}});
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Value{Array{}}); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override {
    return false;
  }

private:
  bool open(Value container) {
    if (open_.size() >= maximumDepth)
      return false;
    open_.push_back(std::move(container));
    return true;
  }
  // A key twice in one object: no platform's dictionary holds that.
  bool close() {
    Value done = std::move(open_.back());
    open_.pop_back();
    if (const auto *dictionary = std::get_if<Dictionary>(&done.kind)) {
      std::vector<const std::string *> keys;
      for (const auto &entry : *dictionary)
        keys.push_back(&std::get<std::string>(entry.key.kind));
      std::ranges::sort(keys, [](const auto *a, const auto *b) { return *a < *b; });
      if (std::ranges::adjacent_find(keys, [](const auto *a, const auto *b) { return *a == *b; }) != keys.end())
        return false;
    }
    return add(std::move(done));
  }
  bool add(Value value) {
    if (open_.empty()) {
      result = std::move(value);
    } else if (auto *array = std::get_if<Array>(&open_.back().kind)) {
      array->push_back(std::move(value));
    } else {
      std::get<Dictionary>(open_.back().kind).back().value = std::move(value);
    }
    return true;
  }

  std::vector<Value> open_;
  Value result;
};

std::optional<Json> toJson(const Value &value, std::size_t depth) {
  if (depth > maximumDepth)
    return std::nullopt;
  return std::visit(
      [depth](const auto &v) -> std::optional<Json> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Null>) {
          return Json(nullptr);
        } else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, std::int64_t> ||
                             std::is_same_v<T, std::string>) {
          return Json(v);
        } else if constexpr (std::is_same_v<T, double>) {
          return std::isfinite(v) ? std::optional<Json>(v) : std::nullopt;
        } else if constexpr (std::is_same_v<T, Array>) {
          Json array = Json::array();
          for (const auto &element : v) {
            auto json = toJson(element, depth + 1);
            if (!json)
              return std::nullopt;
            array.push_back(std::move(*json));
          }
          return array;
        } else if constexpr (std::is_same_v<T, Dictionary>) {
          Json entries = Json::object();
          for (const auto &[key, element] : v) {
            const auto *name = std::get_if<std::string>(&key.kind);
            auto json = toJson(element, depth + 1);
            if (!name || !json || entries.contains(*name))
              return std::nullopt;
            entries[*name] = std::move(*json);
          }
          return entries;
        } else {
          return std::nullopt; // Data and Other have no JSON form
        }
      },
      value.kind);
}

} // namespace

Value parseStateFile(std::string_view text) {
  // The JSON reader takes a NUL byte for the end of the text and would read
  // "[]\0<anything>" as an empty list; JSON has no place for one.
  if (text.find('\0') != std::string_view::npos)
    throw KeyMappingError::unsupportedShape;
  ValueBuilder builder;
  if (!Json::sax_parse(text, &builder, nlohmann::detail::input_format_t::json, true))
    throw KeyMappingError::unsupportedShape;
  return builder.finish();
}

std::optional<std::string> formatStateFile(const Value &value) {
  auto json = toJson(value, 0);
  if (!json)
    return std::nullopt;
  try {
    return json->dump() + "\n";
  } catch (const Json::exception &) {
    return std::nullopt; // a string that is not UTF-8
  }
}

} // namespace FnRemapKit::HID
#endif
