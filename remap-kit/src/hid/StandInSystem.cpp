// The stand-in HID event system for every platform but macOS: one property
// store shared by every process of the user, a directory holding one JSON
// file per property. A property is set by writing a new file beside the old
// one and renaming it over, so no reader ever sees part of a value and a
// writer that dies mid-write loses nothing.
#if !defined(__APPLE__)
#include "HIDSystem.hpp"
#include "StateFile.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace FnRemapKit::HID {
namespace {

std::string reason(int error) { return std::strerror(error); }

// Refuses what another user could have put there or could change under us.
// Empty when the object is acceptable, else why not.
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
    return reason(errno);
  return refusal(info, directory);
}

std::string stateDirectory() {
  if (const char *named = std::getenv("TARNWICK_HID_STATE_DIR"); named && *named)
    return named;
  if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::string(runtime) + "/tarnwick-hid";
  return {};
}

std::string fileName(std::string_view key) { return std::string(key) + ".json"; }

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
std::string temporaryName(std::string_view key) {
  unsigned long long random = 0;
  auto *bytes = reinterpret_cast<unsigned char *>(&random);
  for (std::size_t got = 0; got < sizeof random;) {
    const ssize_t n = ::getrandom(bytes + got, sizeof random - got, 0);
    if (n < 0 && errno != EINTR)
      return {};
    got += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%016llx", random);
  return "." + fileName(key) + "." + suffix;
}

const char *const lockFileName = "UserKeyMapping.lock";

} // namespace

struct Client::Impl {
  std::string path;
  FileDescriptor directory; // closed: the directory does not exist yet

  std::string describe(std::string_view key) const { return path + "/" + fileName(key); }

  // Opens the directory, refusing a symbolic link and anything that fails
  // the ownership rules. Returns why it is refused; empty when it is open or
  // does not exist yet.
  std::string open() {
    directory = FileDescriptor(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) {
      const int error = errno;
      struct stat info {};
      if (error == ENOENT)
        return {};
      if ((error == ENOTDIR || error == ELOOP) && ::lstat(path.c_str(), &info) == 0)
        return refusal(info, true);
      return std::string("cannot be opened: ") + reason(error);
    }
    std::string why = refusal(directory.get(), true);
    if (!why.empty())
      directory = FileDescriptor();
    return why;
  }

  // Creates the directory, which must not exist yet or pass the rules;
  // empty when it is open, else why not.
  std::string createDirectory() {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
      return "cannot be created: " + reason(errno);
    std::string why = open();
    return why.empty() && !directory ? "cannot be opened" : why;
  }

  // Opens the state directory as a client does, creating it when missing;
  // throws saying why it is refused.
  static Impl openForClient() {
    Impl impl;
    impl.path = stateDirectory();
    // Unreachable is not unset: a guard that took it so would report the
    // remap gone while it may well be in place.
    if (impl.path.empty())
      throw std::runtime_error("no state directory (set TARNWICK_HID_STATE_DIR or XDG_RUNTIME_DIR)");
    if (const std::string why = impl.open(); !why.empty())
      throw std::runtime_error("state directory " + impl.path + " " + why);
    return impl;
  }
};

Client::Client(std::unique_ptr<Impl> impl) : impl(std::move(impl)) {}
Client::Client(Client &&) noexcept = default;
Client &Client::operator=(Client &&) noexcept = default;
Client::~Client() = default;

Client Client::createSimple() {
  try {
    return Client(std::make_unique<Impl>(Impl::openForClient()));
  } catch (const std::runtime_error &error) {
    throw std::runtime_error(std::string("cannot create a HID event system client: ") + error.what());
  }
}

std::optional<Value> Client::copyProperty(std::string_view key) const {
  if (!impl->directory)
    return std::nullopt;
  const std::string where = impl->describe(key);
  // O_NONBLOCK: a FIFO planted there must not hang the read; it is refused below.
  const FileDescriptor file(::openat(impl->directory.get(), fileName(key).c_str(),
                                     O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!file) {
    if (errno == ENOENT)
      return std::nullopt;
    throw std::runtime_error("cannot read " + where + ": " +
                             (errno == ELOOP ? "it is a symbolic link" : reason(errno)));
  }
  if (const std::string why = refusal(file.get(), false); !why.empty())
    throw std::runtime_error("cannot read " + where + ": it " + why);

  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      throw std::runtime_error("cannot read " + where + ": " + reason(errno));
    if (got == 0)
      break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return parseStateFile(text);
}

bool Client::setProperty(std::string_view key, const Value &value) const noexcept {
  try {
    const auto text = formatStateFile(value);
    if (!text || (!impl->directory && !impl->createDirectory().empty()))
      return false;
    // Whatever stands in the file's place must pass the rules a reader
    // applies, or we would replace what we were told not to trust.
    struct stat existing {};
    if (::fstatat(impl->directory.get(), fileName(key).c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0
            ? !refusal(existing, false).empty()
            : errno != ENOENT)
      return false;

    const int dir = impl->directory.get();
    std::string temporary;
    FileDescriptor file;
    for (int attempt = 0; attempt < 8 && !file; ++attempt) {
      temporary = temporaryName(key);
      if (temporary.empty())
        return false;
      file = FileDescriptor(::openat(dir, temporary.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (!file && errno != EEXIST)
        return false;
    }
    if (!file)
      return false;
    // The rename alone keeps readers and a writer that dies from ever
    // seeing a partial file. No fsync: like the HID event system's own,
    // this property is runtime state that does not outlive a reboot (its
    // default home, $XDG_RUNTIME_DIR, is a tmpfs), and a flush to disk
    // would be most of the guard's time after its parent exits.
    const bool renamed = ::fchmod(file.get(), 0600) == 0 && writeAll(file.get(), *text) &&
                         ::renameat(dir, temporary.c_str(), dir, fileName(key).c_str()) == 0;
    if (!renamed)
      ::unlinkat(dir, temporary.c_str(), 0);
    return renamed;
  } catch (...) {
    return false;
  }
}

std::string lockFilePath() {
  const std::string directory = stateDirectory();
  return directory.empty() ? directory : directory + "/" + lockFileName;
}

FileDescriptor openLockFile() {
  Client::Impl impl = Client::Impl::openForClient();
  if (const std::string why = impl.directory ? std::string() : impl.createDirectory(); !why.empty())
    throw std::runtime_error("state directory " + impl.path + " " + why);
  // Read access is all flock needs. O_NONBLOCK: a FIFO planted there must not
  // hang the open; it is refused below.
  const std::string where = impl.path + "/" + lockFileName;
  FileDescriptor file(::openat(impl.directory.get(), lockFileName,
                               O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
  if (!file)
    throw std::runtime_error(where + (errno == ELOOP ? " is a symbolic link" : ": " + reason(errno)));
  if (const std::string why = refusal(file.get(), false); !why.empty())
    throw std::runtime_error(where + " " + why);
  return file;
}

} // namespace FnRemapKit::HID
#endif
