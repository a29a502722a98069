// SPDX-License-Identifier: Apache-2.0
// What macOS releases have which call is the headers stage's to check
// (scripts/check-macos-headers); built here, every declaration is there.
#pragma once
#define API_AVAILABLE(...)
