// SPDX-License-Identifier: Apache-2.0
//===- process/SessionGuard.hpp - A session's guard, started and watched --===//
//
// The one guard a session has at a time: started until it says that it is
// watching us, asked whether it still does, and ended. It keeps the pid it
// last saw apart, so that guardPid() has an answer while the guard is
// another thread's to act on.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "ChildProcess.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace FnRemapKit::Process {

class SessionGuard {
public:
  /// A guard at \p path, for the entry {src, dst}; none runs yet.
  SessionGuard(std::string path, std::int64_t src, std::int64_t dst)
      : guardPath(std::move(path)), src(src), dst(dst) {}
  SessionGuard(const SessionGuard &) = delete;
  SessionGuard &operator=(const SessionGuard &) = delete;

  /// Held by whoever acts on the guard (FnRemapSession.cpp says who); all
  /// but lastPid() is used under it.
  std::mutex access;

  /// Starts the guard and returns once it is watching us; throws, with the
  /// guard ended, when it cannot be started or does not say so, or once
  /// \p cancel is readable.
  void start(int cancel = -1);

  /// Whether our guard still watches us: it runs, and has not closed its
  /// report pipe, which it does as soon as it wakes, before it takes the
  /// lock. Asked under the lock, a yes holds until we let the lock go: a
  /// guard woken meanwhile waits for it and then finds what we installed.
  /// One that has closed it may already have had the lock and found no
  /// hold of ours, which we cannot tell from one that has yet to take it.
  bool watching() noexcept;

  /// Ends the guard, within endBound twice at most.
  void end() noexcept;

  /// The running guard's pid, 0 once it has ended (ChildProcess::pid()).
  pid_t pid() noexcept { return child.pid(); }
  /// Readable once the guard has exited (ChildProcess::exitNotice()).
  FileDescriptor exitNotice() noexcept { return child.exitNotice(); }
  /// How it ended, once reaped (ChildProcess::ending()).
  const std::optional<Ending> &ending() const noexcept { return child.ending(); }
  const std::string &path() const noexcept { return guardPath; }

  /// The pid as it stands, noted for lastPid().
  pid_t notePid() noexcept { return last = child.pid(); }
  /// The pid last noted; readable without access.
  pid_t lastPid() const noexcept { return last; }
  /// Notes that no guard runs, for good.
  void forgetPid() noexcept { last = 0; }

private:
  const std::string guardPath;
  const std::int64_t src, dst;
  ChildProcess child;
  FileDescriptor report; // the guard's report pipe, whose end of file says it no longer watches
  std::atomic<pid_t> last{0};
};

} // namespace FnRemapKit::Process
