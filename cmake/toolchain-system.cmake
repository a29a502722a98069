# SPDX-License-Identifier: Apache-2.0
# The debug and release presets' compilers, named so that the order of PATH
# (a Swift toolchain's clang ahead of the system's, say) cannot change them:
# GCC on Linux, Apple's clang on macOS.
if(CMAKE_HOST_SYSTEM_NAME STREQUAL "Darwin")
  set(CMAKE_C_COMPILER /usr/bin/clang)
  set(CMAKE_CXX_COMPILER /usr/bin/clang++)
else()
  set(CMAKE_C_COMPILER gcc)
  set(CMAKE_CXX_COMPILER g++)
endif()
