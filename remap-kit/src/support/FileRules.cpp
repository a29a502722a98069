// SPDX-License-Identifier: Apache-2.0
#include "FileRules.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace FnRemapKit {

std::string refusal(const struct stat &info, bool directory) {
  if (S_ISLNK(info.st_mode))
    return "is a symbolic link";
  if (directory ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode))
    return directory ? "is not a directory" : "is not a regular file";
  if (info.st_uid != ::geteuid())
    return "is owned by another user";
  if (info.st_mode & (S_IWGRP | S_IWOTH))
    return "is writable by group or others";
  return {};
}

std::string refusal(int fd, bool directory) {
  struct stat info {};
  if (::fstat(fd, &info) != 0)
    return std::strerror(errno);
  return refusal(info, directory);
}

} // namespace FnRemapKit
