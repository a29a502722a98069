// A private state directory for the stand-in HID event system, named in
// TARNWICK_HID_STATE_DIR for as long as it lives.
#pragma once

#include "Files.hpp"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace TestSupport {

class StateDirectory {
public:
  StateDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fnguard-test.XXXXXX").string();
    root = ::mkdtemp(pattern.data());
    path = root / "state";
    ::setenv("TARNWICK_HID_STATE_DIR", path.c_str(), 1);
  }
  StateDirectory(const StateDirectory &) = delete;
  StateDirectory &operator=(const StateDirectory &) = delete;
  ~StateDirectory() {
    ::unsetenv("TARNWICK_HID_STATE_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  std::filesystem::path file() const { return path / "UserKeyMapping.json"; }

  /// Writes the state file directly, as another writer would, with the
  /// modes the stand-in itself uses.
  void put(const std::string &text) const {
    std::filesystem::create_directories(path);
    ::chmod(path.c_str(), 0700);
    std::ofstream(file(), std::ios::binary | std::ios::trunc) << text;
    ::chmod(file().c_str(), 0600);
  }

  std::string contents() const { return readFile(file()); }

  std::filesystem::path root; // the parent of the state directory, for neighbours
  std::filesystem::path path;
};

} // namespace TestSupport
