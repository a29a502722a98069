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
  for (const auto &entry : existing)
    if (sourceOf(entry) != ourSource)
      result.push_back(entry);
  result.push_back(ours);
  return result;
}

KeyMappingList restoring(const KeyMappingList &current,
                         const KeyMappingEntry &ours,
                         const KeyMappingList &original) {
  const auto ourSource = sourceOf(ours);
  KeyMappingList result;
  for (const auto &entry : current)
    if (!isOurs(entry, ours))
      result.push_back(entry);
  for (const auto &entry : original)
    if (sourceOf(entry) == ourSource)
      result.push_back(entry);
  return result;
}

} // namespace FnRemapKit::FnRemapMapping
