// SPDX-License-Identifier: Apache-2.0
// Forced first into every source of the apple-on-linux build. The real Core
// Foundation and libdispatch are read while the compiler's Linux macros still
// stand, since their headers choose their own platform branches by them;
// every source after takes its macOS branches. Only what fakes/ stands in for
// is not the real part.
#pragma once

// macOS shows POSIX to C by default; glibc only when asked, before its first
// header, which is Core Foundation's here.
#if !defined(__cplusplus) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L
#endif

#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>
// GoogleTest is the host's, built for Linux: a test reads its headers so.
#if defined(__cplusplus) && defined(FNREMAPKIT_GOOGLETEST_FIRST)
#include <gmock/gmock.h>
#endif

#undef __linux__
#undef __linux
#undef __gnu_linux__
#define __APPLE__ 1

// The tests take their stand-in state directory for the system's.
#define FNREMAPKIT_APPLE_FAKES 1

// The folder every user may create files in (/Users/Shared on a Mac): here
// one per test's key mapping, so that no test's lock or ledger is
// another's; and IOKit's objects handed out and not yet released, which a
// test must not leave. C++ sources only ask for them.
#ifdef __cplusplus
extern "C" const char *appleFakeSharedFolder(void);
extern "C" unsigned long appleFakeIOObjects(void);
#endif
#define FNREMAPKIT_SHARED_FOLDER appleFakeSharedFolder()
