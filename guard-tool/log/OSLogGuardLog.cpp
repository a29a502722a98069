// SPDX-License-Identifier: Apache-2.0
// On macOS the records go to the unified log. The os_log macros take only
// literal formats, so each record is its own call; they test the level
// before anything is formatted.
#if defined(__APPLE__)
#include "GuardLog.hpp"

#include <os/log.h>

namespace FnGuardTool {

GuardLog::GuardLog(const char *subsystem) : handle(os_log_create(subsystem, logCategory)) {}

GuardLog::~GuardLog() { os_release(handle); }

void GuardLog::removed(std::int32_t parent) {
  os_log_with_type(handle, OS_LOG_TYPE_DEFAULT, "parent %{public}d exited, removed the fn remap",
                   parent);
}

void GuardLog::alreadyGone(std::int32_t parent) {
  os_log_with_type(handle, OS_LOG_TYPE_DEFAULT,
                   "parent %{public}d exited, fn remap already restored", parent);
}

void GuardLog::kept(std::int32_t parent, std::int32_t holder) {
  os_log_with_type(handle, OS_LOG_TYPE_DEFAULT,
                   "parent %{public}d exited, fn remap kept for process %{public}d", parent, holder);
}

void GuardLog::failed(std::int32_t parent, const char *message) {
  os_log_error(handle, "parent %{public}d exited, fn remap not removed: %{public}s", parent,
               message);
}

void GuardLog::removedOnSignal(int number, std::int32_t sender) {
  os_log_with_type(handle, OS_LOG_TYPE_DEFAULT,
                   "stopped by signal %{public}d from process %{public}d, removed the fn remap",
                   number, sender);
}

void GuardLog::alreadyGoneOnSignal(int number, std::int32_t sender) {
  os_log_with_type(handle, OS_LOG_TYPE_DEFAULT,
                   "stopped by signal %{public}d from process %{public}d, fn remap already restored",
                   number, sender);
}

void GuardLog::keptOnSignal(int number, std::int32_t sender, std::int32_t holder) {
  os_log_with_type(
      handle, OS_LOG_TYPE_DEFAULT,
      "stopped by signal %{public}d from process %{public}d, fn remap kept for process %{public}d",
      number, sender, holder);
}

void GuardLog::failedOnSignal(int number, std::int32_t sender, const char *message) {
  os_log_error(handle,
               "stopped by signal %{public}d from process %{public}d, fn remap not removed: %{public}s",
               number, sender, message);
}

} // namespace FnGuardTool
#endif
