#include "FnRemapKit/FnGuard.hpp"

#include "ExitWatch.hpp"
#include "RealSystems.hpp"

#include <unistd.h>

#include <utility>

namespace FnRemapKit {

namespace ProcessExit {
// macOS has its own, over a kernel event queue (KqueueSystem.cpp).
#if defined(__linux__)
Registration registerOnThisSystem(std::int32_t pid) {
  LinuxSystem system;
  return registerProcessDescriptor(system, pid);
}

void awaitOnThisSystem(std::int32_t pid, Registration registration) {
  LinuxSystem system;
  awaitExit(system, pid, registration);
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

void ExitWatch::wait() noexcept {
  ProcessExit::awaitOnThisSystem(pid, std::exchange(registration, {detail::ExitRegistration::Kind::gone}));
}

void waitForExit(std::int32_t pid) noexcept { ExitWatch(pid).wait(); }

} // namespace FnGuard
} // namespace FnRemapKit
