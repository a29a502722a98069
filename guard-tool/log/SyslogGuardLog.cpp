// Off macOS the records go to syslog(3), facility user, with the
// application's identifier as the identity and the category leading each
// message, so that "fnguard" shows in every record.
#if !defined(__APPLE__)
#include "GuardLog.hpp"

#include <syslog.h>

namespace FnGuardTool {
namespace {

bool enabled(int priority) { return (::setlogmask(0) & LOG_MASK(priority)) != 0; }

} // namespace

GuardLog::GuardLog(const char *subsystem) { ::openlog(subsystem, LOG_PID, LOG_USER); }

GuardLog::~GuardLog() { ::closelog(); }

void GuardLog::removed(std::int32_t parent) {
  if (enabled(LOG_NOTICE))
    ::syslog(LOG_NOTICE, "%s: parent %d exited, removed the fn remap", logCategory, parent);
}

void GuardLog::alreadyGone(std::int32_t parent) {
  if (enabled(LOG_NOTICE))
    ::syslog(LOG_NOTICE, "%s: parent %d exited, fn remap already restored", logCategory, parent);
}

void GuardLog::failed(std::int32_t parent, const char *message) {
  if (enabled(LOG_ERR))
    ::syslog(LOG_ERR, "%s: parent %d exited, fn remap not removed: %s", logCategory, parent,
             message);
}

} // namespace FnGuardTool
#endif
