// SPDX-License-Identifier: Apache-2.0
// The stand-in HID event system for every platform but macOS: one property
// store shared by every process of the user, a directory holding one JSON
// file per property. A property is set by writing a new file beside the old
// one and renaming it over, so no reader ever sees part of a value and a
// writer that dies mid-write loses nothing.
#if !defined(__APPLE__)
#include "HIDSystem.hpp"
#include "KeyboardWatch.hpp"
#include "StateFile.hpp"

#include "../support/FileRules.hpp"
#include "../support/OwnFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/inotify.h>
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

std::string stateDirectory() {
  if (const char *named = std::getenv("TARNWICK_HID_STATE_DIR"); named && *named)
    return named;
  if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::string(runtime) + "/tarnwick-hid";
  return {};
}

std::string fileName(std::string_view key) { return std::string(key) + ".json"; }

const char *const lockFileName = "UserKeyMapping.lock";
const char *const ledgerFileName = "UserKeyMapping.holders";

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
  const auto text = readOwnFile(impl->directory.get(), fileName(key), impl->describe(key));
  if (!text)
    return std::nullopt;
  return parseStateFile(*text);
}

bool Client::setProperty(std::string_view key, const Value &value) const noexcept {
  try {
    const auto text = formatStateFile(value);
    if (!text || (!impl->directory && !impl->createDirectory().empty()))
      return false;
    return replaceOwnFile(impl->directory.get(), fileName(key), *text).empty();
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

LedgerPlace openLedgerPlace(bool create) {
  Client::Impl impl = Client::Impl::openForClient();
  if (const std::string why = impl.directory || !create ? std::string() : impl.createDirectory(); !why.empty())
    throw std::runtime_error("state directory " + impl.path + " " + why);
  return {std::move(impl.directory), ledgerFileName};
}

std::string ledgerPath() {
  const std::string directory = stateDirectory();
  return directory.empty() ? directory : directory + "/" + ledgerFileName;
}

// A state directory on a disk survives a restart, and with it the list.
bool listOutlivesRestart() noexcept { return true; }

// Keyboards are files created in keyboards/, which must be there when the
// watch opens: without it nothing is watched, as on a machine with no
// keyboard that comes and goes.
struct KeyboardWatch::Impl {
  FileDescriptor events;
};

KeyboardWatch::KeyboardWatch(std::unique_ptr<Impl> impl) noexcept : impl(std::move(impl)) {}
KeyboardWatch::~KeyboardWatch() = default;

std::unique_ptr<KeyboardWatch> KeyboardWatch::open() noexcept {
  const std::string directory = stateDirectory();
  if (directory.empty())
    return nullptr;
  FileDescriptor events(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!events || ::inotify_add_watch(events.get(), (directory + "/keyboards").c_str(),
                                     IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) < 0)
    return nullptr;
  try {
    return std::make_unique<KeyboardWatch>(std::make_unique<Impl>(Impl{std::move(events)}));
  } catch (...) {
    return nullptr;
  }
}

int KeyboardWatch::descriptor() const noexcept { return impl->events.get(); }

void KeyboardWatch::drain() noexcept {
  alignas(inotify_event) char buffer[4096];
  while (::read(impl->events.get(), buffer, sizeof buffer) > 0) {
  }
}

} // namespace FnRemapKit::HID
#endif
