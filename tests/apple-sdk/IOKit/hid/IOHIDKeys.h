// SPDX-License-Identifier: Apache-2.0
/* The HID device properties a keyboard is matched by. */
#pragma once

#define kIOHIDDeviceKey "IOHIDDevice"
#define kIOHIDPrimaryUsagePageKey "PrimaryUsagePage"
#define kIOHIDPrimaryUsageKey "PrimaryUsage"
