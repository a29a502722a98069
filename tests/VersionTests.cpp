// SPDX-License-Identifier: Apache-2.0
// The version has one home, the C header; every other place that says it
// (the library at run time, the package files CMake writes, the changelog's
// latest release, the README's pin) says the same.
#include <FnRemapKit/FnRemapKit.h>

#include "support/TestSupport.hpp"


namespace {

TEST(VersionTest, EveryPlaceSaysTheHeadersVersion) {
  const std::string version = FNREMAPKIT_VERSION_STRING;
  EXPECT_EQ(version, std::to_string(FNREMAPKIT_VERSION_MAJOR) + "." + std::to_string(FNREMAPKIT_VERSION_MINOR) +
                         "." + std::to_string(FNREMAPKIT_VERSION_PATCH));
  EXPECT_EQ(FnRemapKitVersion(), version);
  const std::pair<std::string, std::string> places[] = {
      {FNREMAPKIT_SOURCE_DIR "/README.md", R"re(\.package\(url: "[^"]*", from: "([^"]+)"\))re"},
      {FNREMAPKIT_SOURCE_DIR "/CHANGELOG.md", "\n## \\[([0-9][^]]*)\\]"},
      {FNREMAPKIT_BINARY_DIR "/remap-kit/FnRemapKit.pc", "\nVersion: ([^[:space:]]+)"},
      {FNREMAPKIT_BINARY_DIR "/remap-kit/FnRemapKitConfigVersion.cmake", R"re(set\(PACKAGE_VERSION "([^"]+)"\))re"},
  };
  for (const auto &[file, pattern] : places) {
    const std::string content = TestSupport::readFile(file);
    const auto found = TestSupport::matches(content, pattern);
    ASSERT_FALSE(found.empty()) << file << " says no version";
    EXPECT_EQ(found[0][1], version) << file;
  }
}

} // namespace
