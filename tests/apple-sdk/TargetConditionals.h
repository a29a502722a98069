/* The platform GoogleTest asks about: macOS. */
#pragma once

#define TARGET_OS_OSX 1
#define TARGET_OS_IPHONE 0
