// SPDX-License-Identifier: Apache-2.0
/* The unified log: a logger from subsystem and category, and records whose
 * format must be a string literal, as the real macros require. os_release
 * and the object type come from the SDK's own os/object.h. */
#pragma once

#include <os/availability.h>
#include <os/base.h>
#include <os/object.h>

#include <stdbool.h>
#include <stdint.h>

OS_OBJECT_DECL_CLASS(os_log);
OS_ENUM(os_log_type, uint8_t, OS_LOG_TYPE_DEFAULT = 0x00, OS_LOG_TYPE_ERROR = 0x10);
os_log_t os_log_create(const char *subsystem, const char *category) API_AVAILABLE(macos(10.12));
bool os_log_type_enabled(os_log_t oslog, os_log_type_t type) API_AVAILABLE(macos(10.12));
/* Stands for the SDK's internal emitter, of the same release; only the
 * macros below call it. */
void os_log_declared_emit(os_log_t oslog, os_log_type_t type, const char *format, ...)
    API_AVAILABLE(macos(10.12));

/* "" format fails to compile unless format is a string literal. */
#define os_log_with_type(log, type, format, ...)                                   \
  (os_log_type_enabled((log), (type))                                              \
       ? os_log_declared_emit((log), (type), "" format __VA_OPT__(, ) __VA_ARGS__) \
       : (void)0)
#define os_log_error(log, format, ...)                                             \
  os_log_with_type((log), OS_LOG_TYPE_ERROR, format __VA_OPT__(, ) __VA_ARGS__)
