/* The unified log: a logger from subsystem and category, and records whose
 * format must be a string literal, as the real macros require. */
#pragma once

typedef struct os_log_s *os_log_t;
typedef enum : unsigned char { OS_LOG_TYPE_DEFAULT = 0x00, OS_LOG_TYPE_ERROR = 0x10 } os_log_type_t;
os_log_t os_log_create(const char *subsystem, const char *category);
bool os_log_type_enabled(os_log_t oslog, os_log_type_t type);
void os_release(void *object);
/* Stands for the SDK's internal emitter; only the macros below call it. */
void os_log_declared_emit(os_log_t oslog, os_log_type_t type, const char *format, ...);

/* "" format fails to compile unless format is a string literal. */
#define os_log_with_type(log, type, format, ...)                                   \
  (os_log_type_enabled((log), (type))                                              \
       ? os_log_declared_emit((log), (type), "" format __VA_OPT__(, ) __VA_ARGS__) \
       : (void)0)
#define os_log_error(log, format, ...)                                             \
  os_log_with_type((log), OS_LOG_TYPE_ERROR, format __VA_OPT__(, ) __VA_ARGS__)
