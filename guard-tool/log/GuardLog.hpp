// SPDX-License-Identifier: Apache-2.0
//===- log/GuardLog.hpp - The guard's one record of its outcome -----------===//
//
// One logger under the category "fnguard", with the parent application's
// reverse-DNS identifier as its subsystem: the unified log on macOS, syslog
// elsewhere. A record is formatted only when its level is enabled. The
// records, with the pids, the signal and the message shown in full:
//
//   default  "parent %d exited, removed the fn remap"
//   default  "parent %d exited, fn remap already restored"
//   default  "parent %d exited, fn remap kept for process %d"
//   error    "parent %d exited, fn remap not removed: %s"
//   default  "stopped by signal %d from process %d, removed the fn remap"
//   default  "stopped by signal %d from process %d, fn remap already restored"
//   default  "stopped by signal %d from process %d, fn remap kept for process %d"
//   error    "stopped by signal %d from process %d, fn remap not removed: %s"
//
//===----------------------------------------------------------------------===//
#pragma once

#include <cstdint>

#if defined(__APPLE__)
#include <os/log.h>
#endif

namespace FnGuardTool {

class GuardLog {
public:
  explicit GuardLog(const char *subsystem);
  GuardLog(const GuardLog &) = delete;
  GuardLog &operator=(const GuardLog &) = delete;
  ~GuardLog();

  // Once the parent has exited.
  void removed(std::int32_t parent);
  void alreadyGone(std::int32_t parent);
  void kept(std::int32_t parent, std::int32_t holder);
  void failed(std::int32_t parent, const char *message);

  // Once a stranger's signal \p number from \p sender ended the wait.
  void removedOnSignal(int number, std::int32_t sender);
  void alreadyGoneOnSignal(int number, std::int32_t sender);
  void keptOnSignal(int number, std::int32_t sender, std::int32_t holder);
  void failedOnSignal(int number, std::int32_t sender, const char *message);

private:
#if defined(__APPLE__)
  os_log_t handle;
#endif
};

inline constexpr const char *logCategory = "fnguard";

} // namespace FnGuardTool
