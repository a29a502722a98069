// SPDX-License-Identifier: Apache-2.0
#include "../../../apple-sdk/os/log.h"
