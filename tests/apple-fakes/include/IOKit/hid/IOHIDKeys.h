// SPDX-License-Identifier: Apache-2.0
#include "../../../../apple-sdk/IOKit/hid/IOHIDKeys.h"
