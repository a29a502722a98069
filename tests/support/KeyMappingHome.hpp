// Where a test's key mapping lives, and a private folder for its other files.
//
// Off macOS: a private state directory for the stand-in, named in
// TARNWICK_HID_STATE_DIR for as long as the home lives, XDG_RUNTIME_DIR put
// back as it was after. On macOS: the real HID event system, which the tests
// change only when FNREMAPKIT_TEST_REAL_HID is 1; the user's mapping is saved
// first and written back when the home goes, whatever the test did (an unset
// mapping comes back as an empty one, which the system treats alike).
#pragma once

#include "Processes.hpp"

#include <FnRemapKit/HIDKeyMappingStore.hpp>

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>

namespace TestSupport {

class KeyMappingHome {
public:
  KeyMappingHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fnguard-test.XXXXXX").string();
    root = ::mkdtemp(pattern.data());
    path = root / "state";
#if defined(__APPLE__)
    if (const char *real = std::getenv("FNREMAPKIT_TEST_REAL_HID"); real && std::string(real) == "1")
      saved = FnRemapKit::HIDKeyMappingStore().read().value_or(FnRemapKit::KeyMappingList{});
#else
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"))
      runtimeDirectory = runtime;
    ::setenv("TARNWICK_HID_STATE_DIR", path.c_str(), 1);
#endif
  }
  KeyMappingHome(const KeyMappingHome &) = delete;
  KeyMappingHome &operator=(const KeyMappingHome &) = delete;
  ~KeyMappingHome() {
#if defined(__APPLE__)
    if (saved)
      FnRemapKit::HIDKeyMappingStore().write(*saved);
#else
    ::unsetenv("TARNWICK_HID_STATE_DIR");
    runtimeDirectory ? ::setenv("XDG_RUNTIME_DIR", runtimeDirectory->c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR");
#endif
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  /// Why a test that changes the key mapping may not run here; empty when it may.
  std::string unavailable() const {
#if defined(__APPLE__)
    if (!saved)
      return "changes the keyboard's real key mapping: set FNREMAPKIT_TEST_REAL_HID=1 to run it";
#endif
    return {};
  }

  // The stand-in's own file, for the tests of its format and rules.
  std::filesystem::path file() const { return path / "UserKeyMapping.json"; }
  std::string contents() const { return readFile(file()); }
  /// Writes the state file as another writer would, with the stand-in's modes.
  void put(const std::string &text) const {
    std::filesystem::create_directories(path);
    ::chmod(path.c_str(), 0700);
    std::ofstream(file(), std::ios::binary | std::ios::trunc) << text;
    ::chmod(file().c_str(), 0600);
  }

  std::filesystem::path root; // the test's own folder, parent of path
  std::filesystem::path path; // the stand-in's state directory

private:
  std::optional<FnRemapKit::KeyMappingList> saved;
  std::optional<std::string> runtimeDirectory;
};

} // namespace TestSupport
