// SPDX-License-Identifier: Apache-2.0
//===- support/FileDescriptor.hpp - One owned descriptor -------------------===//
#pragma once

#include <unistd.h>

#include <utility>

namespace FnRemapKit {

/// Owns one descriptor and closes it when it goes, on every path.
class FileDescriptor {
public:
  explicit FileDescriptor(int fd = -1) noexcept : fd(fd) {}
  FileDescriptor(FileDescriptor &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
  FileDescriptor &operator=(FileDescriptor &&other) noexcept {
    std::swap(fd, other.fd);
    return *this;
  }
  ~FileDescriptor() {
    if (fd >= 0)
      ::close(fd);
  }
  int get() const noexcept { return fd; }
  explicit operator bool() const noexcept { return fd >= 0; }
  /// Hands the descriptor over; this no longer owns one.
  int release() noexcept { return std::exchange(fd, -1); }

private:
  int fd;
};

} // namespace FnRemapKit
