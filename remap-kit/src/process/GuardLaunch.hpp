// SPDX-License-Identifier: Apache-2.0
//===- process/GuardLaunch.hpp - Starting the guard, until it watches -----===//
//
// How a session starts tarnwick-fn-guard for this process: out of reach of
// everything of ours, with a pipe on which it says that it is watching us
// (or why it cannot reach the key mapping), and a bounded wait for that
// word.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "ChildProcess.hpp"

#include <chrono>
#include <cstdint>
#include <string>

namespace FnRemapKit::Process {

/// How long a launch waits for a started guard to say that it is watching.
/// The first time a freshly downloaded guard runs, macOS may assess it
/// before it starts, which can take seconds; a guard itself takes
/// milliseconds, even a sanitizer build on a loaded machine. Still short
/// for an application kept waiting by a program that will never say it (an
/// older guard, something else at that path).
inline constexpr std::chrono::milliseconds readyBound{20000};

/// The bound launches wait for: readyBound, unless a test has shortened it
/// to see both sides of it without waiting 20 s. Process-wide, and reached
/// only from here and tests, never through the library's interface.
std::chrono::milliseconds currentReadyBound() noexcept;

/// Shortens the bound while it lives; for tests only.
class ShortenedReadyBound {
public:
  explicit ShortenedReadyBound(std::chrono::milliseconds bound) noexcept;
  ShortenedReadyBound(const ShortenedReadyBound &) = delete;
  ShortenedReadyBound &operator=(const ShortenedReadyBound &) = delete;
  ~ShortenedReadyBound();

private:
  std::chrono::milliseconds previous;
};

/// How a bound reads in a message: "20 s", "0.3 s".
std::string describeBound(std::chrono::milliseconds bound);

/// How long a guard gets to end on SIGTERM before SIGKILL, and after it.
/// A guard exits at once on its parent's SIGTERM, so this is for one that
/// is stopped, hung or no guard at all; both together keep any release of a
/// session within about 1 s.
inline constexpr std::chrono::milliseconds endBound{500};

/// Starts the guard at \p path into \p guard, watching this process for
/// the entry {src, dst}, and returns once it reports that it is watching,
/// with the read end of the pipe it reported on (close-on-exec): the guard
/// keeps its end open while it watches (stillWatching). Throws
/// FnRemapSessionError saying what failed, with the guard ended: also when
/// it says that it cannot reach the key mapping, and when it started but
/// cannot be held (for want of descriptors, say). Once \p cancel (when
/// given) is readable, the wait gives up at once and ends the guard:
/// whoever asked for it no longer needs it.
FileDescriptor launchGuard(ChildProcess &guard, const std::string &path, std::int64_t src, std::int64_t dst,
                           int cancel = -1);

/// Whether a guard that reported watching on \p report (launchGuard's
/// descriptor) has not yet said otherwise: nothing has happened on the
/// pipe. End of file, a hang-up, anything more than its word, or no pipe
/// to look at mean that it no longer watches. Never blocks.
bool stillWatching(int report) noexcept;

} // namespace FnRemapKit::Process
