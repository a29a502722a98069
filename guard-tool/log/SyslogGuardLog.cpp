// SPDX-License-Identifier: Apache-2.0
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

void GuardLog::kept(std::int32_t parent, std::int32_t holder) {
  if (enabled(LOG_NOTICE))
    ::syslog(LOG_NOTICE, "%s: parent %d exited, fn remap kept for process %d", logCategory, parent,
             holder);
}

void GuardLog::failed(std::int32_t parent, const char *message) {
  if (enabled(LOG_ERR))
    ::syslog(LOG_ERR, "%s: parent %d exited, fn remap not removed: %s", logCategory, parent,
             message);
}

void GuardLog::removedOnSignal(int number, std::int32_t sender) {
  if (enabled(LOG_NOTICE))
    ::syslog(LOG_NOTICE, "%s: stopped by signal %d from process %d, removed the fn remap",
             logCategory, number, sender);
}

void GuardLog::alreadyGoneOnSignal(int number, std::int32_t sender) {
  if (enabled(LOG_NOTICE))
    ::syslog(LOG_NOTICE, "%s: stopped by signal %d from process %d, fn remap already restored",
             logCategory, number, sender);
}

void GuardLog::keptOnSignal(int number, std::int32_t sender, std::int32_t holder) {
  if (enabled(LOG_NOTICE))
    ::syslog(LOG_NOTICE, "%s: stopped by signal %d from process %d, fn remap kept for process %d",
             logCategory, number, sender, holder);
}

void GuardLog::failedOnSignal(int number, std::int32_t sender, const char *message) {
  if (enabled(LOG_ERR))
    ::syslog(LOG_ERR, "%s: stopped by signal %d from process %d, fn remap not removed: %s",
             logCategory, number, sender, message);
}

} // namespace FnGuardTool
#endif
