// SPDX-License-Identifier: Apache-2.0
#include "FnRemapKit/FnGuard.hpp"

#include "ExitWatch.hpp"
#include "RealSystems.hpp"

#include <unistd.h>

namespace FnRemapKit {

namespace ProcessExit {
// macOS has its own, over a kernel event queue (KqueueSystem.cpp).
#if defined(__linux__)
Registration registerOnThisSystem(std::int32_t pid) {
  LinuxSystem system;
  return registerProcessDescriptor(system, pid);
}

Wake awaitOnThisSystem(std::int32_t pid, Registration &registration, int wakeFd) {
  LinuxSystem system;
  return awaitExit(system, pid, registration, wakeFd);
}
#endif
} // namespace ProcessExit

namespace FnGuard {

// 0 and negative ids name process groups, not one process to watch.
ExitWatch::ExitWatch(std::int32_t pid) noexcept
    : pid(pid), registration(pid > 0 ? ProcessExit::registerOnThisSystem(pid)
                                     : detail::ExitRegistration{detail::ExitRegistration::Kind::gone}) {}

ExitWatch::~ExitWatch() {
  if (registration.fd >= 0)
    ::close(registration.fd);
}

ExitWatch::Wake ExitWatch::wait(int wakeFd) noexcept {
  return ProcessExit::awaitOnThisSystem(pid, registration, wakeFd);
}

void waitForExit(std::int32_t pid) noexcept { ExitWatch(pid).wait(); }

} // namespace FnGuard
} // namespace FnRemapKit
