#include "FnRemapKit/FnGuard.hpp"

#include "ExitWatch.hpp"
#include "RealSystems.hpp"

namespace FnRemapKit {

namespace ExitWatch {
#if defined(__APPLE__)
void waitForExitOnThisSystem(std::int32_t pid); // KqueueSystem.cpp
#elif defined(__linux__)
static void waitForExitOnThisSystem(std::int32_t pid) {
  LinuxSystem system;
  waitWithProcessDescriptor(system, pid);
}
#else
static void waitForExitOnThisSystem(std::int32_t pid) {
  PosixSystem system;
  waitByPolling(system, pid);
}
#endif
} // namespace ExitWatch

void FnGuard::waitForExit(std::int32_t pid) noexcept {
  // 0 and negative ids name process groups, not one process to watch.
  if (pid <= 0)
    return;
  ExitWatch::waitForExitOnThisSystem(pid);
}

} // namespace FnRemapKit
