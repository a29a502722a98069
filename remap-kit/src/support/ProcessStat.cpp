// SPDX-License-Identifier: Apache-2.0
#if defined(__linux__)
#include "ProcessStat.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <string_view>

namespace FnRemapKit {

// "pid (comm) S ppid ...": comm may hold anything, blanks and parentheses
// included, but is followed by the last ") ". Fields are numbered from 1.
std::optional<ProcessStat> readProcessStat(pid_t pid) noexcept {
  std::array<char, 32> path{};
  std::snprintf(path.data(), path.size(), "/proc/%d/stat", static_cast<int>(pid));
  const int fd = ::open(path.data(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return std::nullopt;
  std::array<char, 1024> buffer{};
  const ssize_t size = ::read(fd, buffer.data(), buffer.size());
  ::close(fd);
  std::string_view fields(buffer.data(), size > 0 ? static_cast<std::size_t>(size) : 0);
  const auto paren = fields.rfind(") ");
  if (paren == std::string_view::npos)
    return std::nullopt;
  fields.remove_prefix(paren + 2);
  ProcessStat stat{};
  for (int number = 3; number <= 22; ++number) {
    const auto space = fields.find(' ');
    if (space == std::string_view::npos)
      return std::nullopt;
    const char *first = fields.data(), *last = fields.data() + space;
    if (number == 3)
      stat.state = *first;
    else if (number == 4)
      std::from_chars(first, last, stat.parent);
    else if (number == 20)
      std::from_chars(first, last, stat.threads);
    else if (number == 22)
      std::from_chars(first, last, stat.start);
    fields.remove_prefix(space + 1);
  }
  return stat;
}

} // namespace FnRemapKit
#endif
