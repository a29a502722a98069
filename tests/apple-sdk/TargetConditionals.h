/* The target conditionals of a macOS build, as far as GoogleTest reads them. */
#pragma once

#define TARGET_OS_IPHONE 0
