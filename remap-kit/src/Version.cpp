// SPDX-License-Identifier: Apache-2.0
// The library's version, as its header said when it was built: a program
// may run with another build of the library than its header's.
#include "FnRemapKit/FnRemapKit.h"

extern "C" const char *FnRemapKitVersion(void) { return FNREMAPKIT_VERSION_STRING; }
