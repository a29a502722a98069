// SPDX-License-Identifier: Apache-2.0
//===- process/ChildProcess.hpp - A child we started, and only that one ---===//
//
// A pid names our child only until the child is reaped, and an application
// that ignores SIGCHLD, or reaps with waitpid(-1), lets the system reap it
// without our knowing; the pid then goes to someone else. So a child is held
// by a process descriptor on Linux, and elsewhere (macOS, a Linux without
// descriptors) by its pid checked against the parent and start time seen at
// the spawn before every signal and every wait. Nothing here blocks without
// a bound. GuardLaunch.hpp starts the guard as such a child, and
// SessionGuard.hpp is a session's one guard over both.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "../support/FileDescriptor.hpp"

#include <spawn.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace FnRemapKit::Process {

/// How a child that we reaped ended: its exit status, or the signal that
/// killed it.
struct Ending {
  bool signalled;
  int number;

  /// "exit status N" or "killed by signal N".
  std::string describe() const;
};

class ChildProcess {
public:
  /// No child.
  ChildProcess() = default;
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;
  /// Lets go of the child; it runs on.
  ~ChildProcess();

  /// Starts \p path as posix_spawn does and holds the child, on a handle
  /// that holds none: none yet, or one that has ended. Returns 0, or the errno that stopped it: also
  /// when the child started but cannot be held for want of descriptors or
  /// memory, and was then killed and reaped.
  int spawn(const char *path, const posix_spawn_file_actions_t *actions,
            const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]) noexcept;

  /// The child's pid while it runs (or while no check can be made, for want
  /// of descriptors); 0 once it has ended, or when there is none. Reaps a
  /// child that has exited; never blocks.
  pid_t pid() noexcept;

  /// A descriptor of our own that poll(2) finds readable once the child
  /// has exited: a process descriptor on Linux, a kqueue watching its exit
  /// on macOS. None when the child has ended or no such descriptor can be
  /// had; a watcher then checks pid() at intervals.
  FileDescriptor exitNotice() noexcept;

  /// Sends \p signal to the child while it runs, and to no one else.
  void signal(int signal) noexcept;

  /// Waits at most \p limit for the child to end; true once it has.
  bool waitFor(std::chrono::milliseconds limit) noexcept;

  /// SIGTERM, with SIGCONT so that a stopped child acts on it; then, if it
  /// has not ended within \p limit, SIGKILL and as long again.
  void terminate(std::chrono::milliseconds limit) noexcept;

  /// How it ended, once we reaped it; nothing while it runs, or when the
  /// system reaped it for us.
  const std::optional<Ending> &ending() const noexcept { return end; }

private:
  /// What a check of the child shows; unsure when it could not be made.
  enum class Seen { running, ended, unsure };

  Seen look() noexcept;
  bool ended() noexcept;
  /// Kills and reaps the child, which must not have been reaped yet, and
  /// returns \p error.
  int refuse(int error) noexcept;
  void forget() noexcept;

  pid_t id = 0;
  FileDescriptor descriptor;   // the process descriptor, where there is one
  std::uint64_t startTime = 0; // else what tells our child from a stranger
  std::optional<Ending> end;
};

} // namespace FnRemapKit::Process
