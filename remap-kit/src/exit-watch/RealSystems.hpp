// SPDX-License-Identifier: Apache-2.0
//===- exit-watch/RealSystems.hpp - The real calls behind the seam --------===//
#pragma once

#include "ExitWatch.hpp"

namespace FnRemapKit::ProcessExit {

/// The POSIX calls every platform has: the probe, close, and the fallback's
/// zombie check and pause.
struct PosixSystem {
  int probe(std::int32_t pid);
  void close(int fd);
  bool isZombie(std::int32_t pid);
  bool sleepInterval(int wakeFd);
};

#if defined(__linux__)
/// Process descriptors (Linux 5.3 and later).
struct LinuxSystem : PosixSystem {
  SysResult pidfdOpen(std::int32_t pid);
  SysResult await(int fd, int wakeFd);
};
#endif

/// The registration and the wait of this platform's watch.
Registration registerOnThisSystem(std::int32_t pid);
Wake awaitOnThisSystem(std::int32_t pid, Registration &registration, int wakeFd);

} // namespace FnRemapKit::ProcessExit
