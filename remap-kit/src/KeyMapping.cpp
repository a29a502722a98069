// SPDX-License-Identifier: Apache-2.0
#include "FnRemapKit/KeyMapping.hpp"

#include <optional>

namespace FnRemapKit::FnRemapMapping {
namespace {

std::optional<std::int64_t> sourceOf(const KeyMappingEntry &entry) {
  auto found = entry.find(std::string(srcKey));
  if (found == entry.end())
    return std::nullopt;
  return found->second;
}

// A foreign entry's source matches none: it is never ours to replace or
// to put back.
bool hasSource(const KeyMappingElement &element, std::optional<std::int64_t> source) {
  const auto *entry = element.entry();
  return entry && sourceOf(*entry) == source;
}

} // namespace

KeyMappingEntry entry(std::int64_t src, std::int64_t dst) {
  return {{std::string(srcKey), src}, {std::string(dstKey), dst}};
}

bool isOurs(const KeyMappingEntry &candidate, const KeyMappingEntry &ours) {
  return candidate == ours;
}

KeyMappingList merging(const KeyMappingList &existing,
                       const KeyMappingEntry &ours) {
  const auto ourSource = sourceOf(ours);
  KeyMappingList result;
  result.reserve(existing.size() + 1);
  for (const auto &element : existing)
    if (!hasSource(element, ourSource))
      result.push_back(element);
  result.push_back(ours);
  return result;
}

KeyMappingList restoring(const KeyMappingList &current,
                         const KeyMappingEntry &ours,
                         const KeyMappingList &original) {
  const auto ourSource = sourceOf(ours);
  KeyMappingList result;
  for (const auto &element : current)
    if (element != ours)
      result.push_back(element);
  for (const auto &element : original)
    if (hasSource(element, ourSource))
      result.push_back(element);
  return result;
}

} // namespace FnRemapKit::FnRemapMapping
