// SPDX-License-Identifier: Apache-2.0
// Text as the tests read it: replacing, and matching by POSIX extended
// regular expressions.
#pragma once

#include <gtest/gtest.h>

#include <regex.h>

#include <string>
#include <string_view>
#include <vector>

namespace TestSupport {

/// \p text with every \p from in it made \p to.
inline std::string replaced(std::string text, std::string_view from, std::string_view to) {
  if (from.empty())
    return text;
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

/// Each match of the POSIX extended regular expression \p pattern in
/// \p text, in order, as its groups (the whole match first). <regex.h>, not
/// std::regex, whose templates cost each file that uses them seconds; so,
/// unlike std::regex's, `.` matches a newline, and \p text ends at a NUL.
inline std::vector<std::vector<std::string>> matches(const std::string &text, const std::string &pattern) {
  std::vector<std::vector<std::string>> found;
  regex_t compiled;
  if (::regcomp(&compiled, pattern.c_str(), REG_EXTENDED) != 0) {
    ADD_FAILURE() << "not a regular expression: " << pattern;
    return found;
  }
  std::vector<regmatch_t> groups(compiled.re_nsub + 1);
  for (std::size_t from = 0; from <= text.size();) {
    if (::regexec(&compiled, text.c_str() + from, groups.size(), groups.data(), from ? REG_NOTBOL : 0) != 0)
      break;
    auto &match = found.emplace_back();
    for (const regmatch_t &group : groups)
      match.push_back(group.rm_so < 0 ? "" : text.substr(from + group.rm_so, group.rm_eo - group.rm_so));
    // Past the match, and past one character more after an empty one.
    from += groups[0].rm_eo + (groups[0].rm_eo == groups[0].rm_so ? 1 : 0);
  }
  ::regfree(&compiled);
  return found;
}

/// Whether the whole of \p text is \p pattern.
inline bool matchesWhole(const std::string &text, const std::string &pattern) {
  return !matches(text, "^(" + pattern + ")$").empty();
}

/// \p text as a regular expression that matches it alone.
inline std::string literally(const std::string &text) {
  std::string pattern;
  for (const char c : text)
    pattern += std::string_view(".()[]{}*+?^$|\\").find(c) == std::string_view::npos ? std::string(1, c) : std::string{'\\', c};
  return pattern;
}

} // namespace TestSupport
