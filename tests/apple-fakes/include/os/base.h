// SPDX-License-Identifier: Apache-2.0
// libdispatch's own portable base, from the Swift toolchain.
#pragma once
#include <os/generic_unix_base.h>
