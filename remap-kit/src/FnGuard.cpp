#include "FnRemapKit/FnGuard.hpp"

#include "guard/GuardRelease.hpp"

#include "FnRemapKit/HIDKeyMappingStore.hpp"
#include "FnRemapKit/KeyMappingLock.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ostream>

namespace FnRemapKit {

namespace FnGuard::detail {

bool containsEntry(const KeyMappingList &list, const KeyMappingEntry &ours) {
  return std::ranges::find(list, ours) != list.end();
}

std::string errorText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception &e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

} // namespace FnGuard::detail

void FnGuard::reportWatching() noexcept {
  const char *named = std::getenv(readyVariable);
  if (!named || !*named)
    return;
  const char *end = named + std::strlen(named);
  int fd = -1;
  if (const auto [rest, error] = std::from_chars(named, end, fd); error != std::errc() || rest != end)
    return;
  // Whatever else it names (our standard streams, a file) is not ours to
  // write on or to close.
  struct stat info {};
  if (fd <= STDERR_FILENO || ::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode))
    return;
  const char ready = '\n';
  while (::write(fd, &ready, 1) < 0 && errno == EINTR) {
  }
  ::close(fd);
}

FnGuardOutcome FnGuard::runGuard(const FnGuardArguments &arguments) noexcept {
  ExitWatch parent(arguments.parent());
  reportWatching();
  parent.wait();
  return detail::releaseForGuard(arguments);
}

std::ostream &operator<<(std::ostream &out, const FnGuardOutcome &outcome) {
  switch (outcome.kind()) {
  case FnGuardOutcome::Kind::removed:
    return out << "removed";
  case FnGuardOutcome::Kind::alreadyGone:
    return out << "alreadyGone";
  case FnGuardOutcome::Kind::kept:
    return out << "kept(" << outcome.holder() << ")";
  case FnGuardOutcome::Kind::failed:
    break;
  }
  return out << "failed(" << outcome.message() << ")";
}

} // namespace FnRemapKit
