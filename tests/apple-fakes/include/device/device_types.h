// SPDX-License-Identifier: Apache-2.0
// The one device type the IOKit calls take.
#pragma once
typedef char io_name_t[128];
