// SPDX-License-Identifier: Apache-2.0
// The unified log of the apple-on-linux build: each record one line, in the
// compact style of `log show`, appended to the file that
// FNREMAPKIT_UNIFIED_LOG names (nowhere when it is unset); bin/log shows
// them. Every level is enabled, and %{public}... is printed as %...
#include <dispatch/dispatch.h> // whose os_release the guard's log calls, as on macOS
#include <os/log.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>

struct os_log_s {
  std::string subsystem, category;
};

os_log_t os_log_create(const char *subsystem, const char *category) { return new os_log_s{subsystem, category}; }

bool os_log_type_enabled(os_log_t, os_log_type_t) { return true; }

void os_release(void *object) { delete static_cast<os_log_t>(object); }

// Each record in one write, whole beside those of other processes.
void os_log_declared_emit(os_log_t log, os_log_type_t type, const char *format, ...) {
  const char *where = std::getenv("FNREMAPKIT_UNIFIED_LOG");
  std::FILE *file = where ? std::fopen(where, "ae") : nullptr;
  if (!file)
    return;
  const std::string plain = std::regex_replace(format, std::regex("%\\{public\\}"), "%");
  char message[1024], time[32];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof message, plain.c_str(), arguments);
  va_end(arguments);
  const std::time_t now = std::time(nullptr);
  std::strftime(time, sizeof time, "%F %T", std::localtime(&now));
  std::fprintf(file, "%s.000 %s tarnwick-fn-guard[%d:0] [%s:%s] %s\n", time, type == OS_LOG_TYPE_ERROR ? "E " : "Df",
               ::getpid(), log->subsystem.c_str(), log->category.c_str(), message);
  std::fclose(file);
}
