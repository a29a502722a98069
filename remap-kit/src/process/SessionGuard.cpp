// SPDX-License-Identifier: Apache-2.0
#include "SessionGuard.hpp"

#include "GuardLaunch.hpp"

namespace FnRemapKit::Process {

void SessionGuard::start(int cancel) {
  report = FileDescriptor(); // a launch that throws leaves no pipe of the guard before
  report = launchGuard(child, guardPath, src, dst, cancel);
  last = child.pid();
}

bool SessionGuard::watching() noexcept { return child.pid() != 0 && stillWatching(report.get()); }

void SessionGuard::end() noexcept {
  child.terminate(endBound);
  report = FileDescriptor();
}

} // namespace FnRemapKit::Process
