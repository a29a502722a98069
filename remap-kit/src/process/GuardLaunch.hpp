//===- process/GuardLaunch.hpp - Starting the guard, until it watches -----===//
//
// How a session starts tarnwick-fn-guard for this process: out of reach of
// everything of ours, with a pipe on which it says that it is watching us,
// and a bounded wait for that word.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "ChildProcess.hpp"

#include <chrono>
#include <cstdint>
#include <string>

namespace FnRemapKit::Process {

/// How long a launch waits for a started guard to say that it is watching:
/// far longer than a guard takes, even a sanitizer build on a loaded
/// machine, and still short for an application kept waiting by a program
/// that will never say it (an older guard, something else at that path).
inline constexpr std::chrono::milliseconds readyBound{5000};

/// How long a guard gets to end on SIGTERM before SIGKILL, and after it.
inline constexpr std::chrono::milliseconds endBound{2000};

/// Starts the guard at \p path into \p guard, watching this process for
/// the entry {src, dst}, and returns once it reports that it is watching.
/// Throws FnRemapSessionError saying what failed, with the guard ended.
void launchGuard(ChildProcess &guard, const std::string &path, std::int64_t src, std::int64_t dst);

} // namespace FnRemapKit::Process
