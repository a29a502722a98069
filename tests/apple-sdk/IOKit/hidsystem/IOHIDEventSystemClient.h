// SPDX-License-Identifier: Apache-2.0
/* The HID event system client: the three calls the store makes. The SDK's
 * header marks no release on them; they came with hidutil, in macOS 10.12. */
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <os/availability.h>

typedef struct __IOHIDEventSystemClient *IOHIDEventSystemClientRef;
/* Returns NULL on failure; the caller releases the client with CFRelease. */
IOHIDEventSystemClientRef IOHIDEventSystemClientCreateSimpleClient(CFAllocatorRef allocator)
    API_AVAILABLE(macos(10.12));
/* Returns NULL when the property is not set; the caller releases the value. */
CFTypeRef IOHIDEventSystemClientCopyProperty(IOHIDEventSystemClientRef client, CFStringRef key)
    API_AVAILABLE(macos(10.12));
Boolean IOHIDEventSystemClientSetProperty(IOHIDEventSystemClientRef client, CFStringRef key,
                                          CFTypeRef property) API_AVAILABLE(macos(10.12));
