# SPDX-License-Identifier: Apache-2.0
# The asan and fuzz presets' compilers, named so that the order of PATH (a
# Swift toolchain's clang ahead of the system's, say) cannot change them:
# clang 14 on Linux, whose sanitizer and libFuzzer runtimes Debian 12 ships
# (libclang-rt-14-dev), and Apple's clang on macOS.
if(CMAKE_HOST_SYSTEM_NAME STREQUAL "Darwin")
  set(CMAKE_C_COMPILER /usr/bin/clang)
  set(CMAKE_CXX_COMPILER /usr/bin/clang++)
else()
  set(CMAKE_C_COMPILER clang-14)
  set(CMAKE_CXX_COMPILER clang++-14)
endif()
