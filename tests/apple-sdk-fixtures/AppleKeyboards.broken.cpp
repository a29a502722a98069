// SPDX-License-Identifier: Apache-2.0
// AppleKeyboards.cpp as it once was: kIOMainPortDefault, which macOS 11
// lacks, read without asking which macOS runs it.
// expect: 'kIOMainPortDefault' is only available on macOS 12.0 or newer
#include <IOKit/IOKitLib.h>

IONotificationPortRef openPort() { return IONotificationPortCreate(kIOMainPortDefault); }
