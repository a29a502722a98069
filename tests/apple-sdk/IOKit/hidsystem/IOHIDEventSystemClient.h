/* The HID event system client: the three calls the store makes. */
#pragma once

#include <CoreFoundation/CoreFoundation.h>

typedef struct __IOHIDEventSystemClient *IOHIDEventSystemClientRef;
/* Returns NULL on failure; the caller releases the client with CFRelease. */
IOHIDEventSystemClientRef IOHIDEventSystemClientCreateSimpleClient(CFAllocatorRef allocator);
/* Returns NULL when the property is not set; the caller releases the value. */
CFTypeRef IOHIDEventSystemClientCopyProperty(IOHIDEventSystemClientRef client, CFStringRef key);
Boolean IOHIDEventSystemClientSetProperty(IOHIDEventSystemClientRef client, CFStringRef key,
                                          CFTypeRef property);
