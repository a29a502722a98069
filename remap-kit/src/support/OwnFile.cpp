// SPDX-License-Identifier: Apache-2.0
#include "OwnFile.hpp"

#include "FileDescriptor.hpp"
#include "FileRules.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace FnRemapKit {
namespace {

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// A name no other writer uses: random, so that a temporary left by a writer
// that died (whatever its pid) never stands in the way. Fresh from the
// kernel each time: no generator is shared by threads or copied into a
// forked child, which would draw its parent's names. Empty when the kernel
// has none to give.
std::string temporaryName(const std::string &name) {
  unsigned long long random = 0;
  if (::getentropy(&random, sizeof random) != 0)
    return {};
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%016llx", random);
  return "." + name + "." + suffix;
}

} // namespace

std::optional<std::string> readOwnFile(int directory, const std::string &name, const std::string &where,
                                       std::size_t most) {
  // O_NONBLOCK: a FIFO planted there must not hang the read; it is refused below.
  const FileDescriptor file(::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!file) {
    if (errno == ENOENT)
      return std::nullopt;
    throw std::runtime_error("cannot read " + where + ": " +
                             (errno == ELOOP ? "it is a symbolic link" : std::strerror(errno)));
  }
  if (const std::string why = refusal(file.get(), false); !why.empty())
    throw std::runtime_error("cannot read " + where + ": it " + why);
  std::string text;
  char buffer[65536];
  while (text.size() < most) {
    const ssize_t got = ::read(file.get(), buffer, std::min(sizeof buffer, most - text.size()));
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      throw std::runtime_error("cannot read " + where + ": " + std::strerror(errno));
    if (got == 0)
      break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

std::string replaceOwnFile(int directory, const std::string &name, std::string_view text) {
  struct stat existing {};
  if (::fstatat(directory, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (std::string why = refusal(existing, false); !why.empty())
      return "it " + why;
  } else if (errno != ENOENT) {
    return std::strerror(errno);
  }
  std::string temporary;
  FileDescriptor file;
  for (int attempt = 0; attempt < 8 && !file; ++attempt) {
    temporary = temporaryName(name);
    if (temporary.empty())
      return "no random name to be had";
    file = FileDescriptor(::openat(directory, temporary.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file && errno != EEXIST)
      return std::strerror(errno);
  }
  if (!file)
    return "no free temporary name";
  // The rename alone keeps readers and a writer that dies from ever seeing
  // a partial file. No fsync: what these files hold is runtime state that
  // does not outlive a reboot (the stand-in's default home,
  // $XDG_RUNTIME_DIR, is a tmpfs), and a flush to disk would be most of the
  // guard's time after its parent exits.
  const bool written = ::fchmod(file.get(), 0600) == 0 && writeAll(file.get(), text);
  const int error = errno;
  if (written && ::renameat(directory, temporary.c_str(), directory, name.c_str()) == 0)
    return {};
  const std::string why = std::strerror(written ? errno : error);
  ::unlinkat(directory, temporary.c_str(), 0);
  return why;
}

} // namespace FnRemapKit
