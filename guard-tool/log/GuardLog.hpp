//===- log/GuardLog.hpp - The guard's one record of its outcome -----------===//
//
// One logger under the category "fnguard", with the parent application's
// reverse-DNS identifier as its subsystem: the unified log on macOS, syslog
// elsewhere. A record is formatted only when its level is enabled. The
// records, with the pid and the message shown in full:
//
//   default  "parent %d exited, removed the fn remap"
//   default  "parent %d exited, fn remap already restored"
//   error    "parent %d exited, fn remap not removed: %s"
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

  void removed(std::int32_t parent);
  void alreadyGone(std::int32_t parent);
  void failed(std::int32_t parent, const char *message);

private:
#if defined(__APPLE__)
  os_log_t handle;
#endif
};

inline constexpr const char *logCategory = "fnguard";

} // namespace FnGuardTool
