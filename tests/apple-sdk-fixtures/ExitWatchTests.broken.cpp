// SPDX-License-Identifier: Apache-2.0
// ExitWatchTests.cpp as it once was: readProcessStat, which only Linux
// declares, called for macOS too.
// expect: readProcessStat
#include "support/ProcessStat.hpp"

#include <sys/types.h>

namespace FnRemapKit {

bool isMainless(pid_t pid) {
  const auto stat = readProcessStat(pid);
  return stat && stat->state == 'Z' && stat->threads == 2;
}

} // namespace FnRemapKit
