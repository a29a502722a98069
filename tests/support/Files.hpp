// Whole-file reads for the tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace TestSupport {

inline std::string readFile(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

} // namespace TestSupport
