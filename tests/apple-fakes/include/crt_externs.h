// SPDX-License-Identifier: Apache-2.0
// The environment of the program, as a library reaches it on macOS.
#pragma once

extern "C" char ***_NSGetEnviron(void);
