// SPDX-License-Identifier: Apache-2.0
//===- support/Pipe.hpp - A pipe that no program we start inherits --------===//
#pragma once

#include "FileDescriptor.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace FnRemapKit {

/// Opens a pipe with both ends close-on-exec; 0, or the errno that stopped
/// it. macOS has no pipe2: there a program another thread starts in
/// between may inherit the ends.
inline int openPipe(FileDescriptor &read, FileDescriptor &write) noexcept {
  int ends[2];
#if defined(__APPLE__)
  if (::pipe(ends) != 0)
    return errno;
  for (int end : ends)
    ::fcntl(end, F_SETFD, FD_CLOEXEC);
#else
  if (::pipe2(ends, O_CLOEXEC) != 0)
    return errno;
#endif
  read = FileDescriptor(ends[0]);
  write = FileDescriptor(ends[1]);
  return 0;
}

} // namespace FnRemapKit
