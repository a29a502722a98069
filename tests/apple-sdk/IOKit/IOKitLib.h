// SPDX-License-Identifier: Apache-2.0
/* IOKit's registry notifications: what the keyboard watch calls. The Mach
 * and dispatch types are the SDK's own. */
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <device/device_types.h>
#include <dispatch/dispatch.h>
#include <mach/mach_types.h>
#include <os/availability.h>

typedef mach_port_t io_object_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_service_t;
typedef struct IONotificationPort *IONotificationPortRef;
typedef void (*IOServiceMatchingCallback)(void *refcon, io_iterator_t iterator);

#define kIOFirstMatchNotification "IOServiceFirstMatch"
/* MACH_PORT_NULL under a name of its own, from macOS 12 on. */
extern const mach_port_t kIOMainPortDefault API_AVAILABLE(macos(12.0));

IONotificationPortRef IONotificationPortCreate(mach_port_t mainPort) API_AVAILABLE(macos(10.0));
void IONotificationPortDestroy(IONotificationPortRef notify) API_AVAILABLE(macos(10.0));
void IONotificationPortSetDispatchQueue(IONotificationPortRef notify, dispatch_queue_t queue)
    API_AVAILABLE(macos(10.6));
/* Returns a dictionary the caller owns, or that a call consuming it takes. */
CFMutableDictionaryRef IOServiceMatching(const char *name) API_AVAILABLE(macos(10.0));
/* Consumes one reference to matching. */
kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort, const io_name_t notificationType,
                                               CFDictionaryRef matching, IOServiceMatchingCallback callback,
                                               void *refCon, io_iterator_t *notification) API_AVAILABLE(macos(10.0));
io_object_t IOIteratorNext(io_iterator_t iterator) API_AVAILABLE(macos(10.0));
kern_return_t IOObjectRelease(io_object_t object) API_AVAILABLE(macos(10.0));
