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

void GuardLog::failed(std::int32_t parent, const char *message) {
  os_log_error(handle, "parent %{public}d exited, fn remap not removed: %{public}s", parent,
               message);
}

} // namespace FnGuardTool
#endif
