// SPDX-License-Identifier: Apache-2.0
//===- support/FileRules.hpp - Files another user cannot have planted -----===//
#pragma once

#include <sys/stat.h>

#include <string>

namespace FnRemapKit {

/// Why \p info is not a file (or, with \p directory, a directory) that only
/// we could have put there and only we can change: a symbolic link, another
/// kind of object, another user's, writable by group or others. Empty when
/// it is acceptable.
std::string refusal(const struct stat &info, bool directory);

/// The same for the open descriptor \p fd; what fstat says when it fails.
std::string refusal(int fd, bool directory);

} // namespace FnRemapKit
