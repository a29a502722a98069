// SPDX-License-Identifier: Apache-2.0
#include "FnRemapKit/FnGuard.hpp"

#include "guard/GuardReadiness.hpp"
#include "guard/GuardRelease.hpp"
#include "guard/StopSignals.hpp"
#include "support/ProcessIdentity.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <utility>

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

namespace {

// The report pipe named in readyVariable; -1 when there is none. Whatever
// else it names (our standard streams, a file) is not ours to write on or
// to close.
int reportDescriptor() noexcept {
  const char *named = std::getenv(FnGuard::readyVariable);
  if (!named || !*named)
    return -1;
  const char *end = named + std::strlen(named);
  int fd = -1;
  if (const auto [rest, error] = std::from_chars(named, end, fd); error != std::errc() || rest != end)
    return -1;
  struct stat info {};
  if (fd <= STDERR_FILENO || ::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode))
    return -1;
  return fd;
}

// One write (a pipe takes up to PIPE_BUF bytes whole).
void say(int fd, std::string_view text) noexcept {
  while (::write(fd, text.data(), text.size()) < 0 && errno == EINTR) {
  }
}

// Why we cannot watch, then end of file.
void report(int fd, std::string_view reason) noexcept {
  say(fd, reason);
  ::close(fd);
}

} // namespace

int FnGuard::reportWatching() noexcept {
  const int fd = reportDescriptor();
  if (fd >= 0)
    say(fd, "\n");
  return fd;
}

FnGuard::GuardRun FnGuard::runGuard(const FnGuardArguments &arguments,
                                    const std::function<void(const GuardRun &)> &record) noexcept {
  const std::int32_t parentPid = arguments.parent();
  // Caught before the report, so that no stop signal sent once the
  // application knows of us can end us unseen.
  detail::StopSignals stops;
  ExitWatch parent(parentPid);
  // Read while the parent surely runs: its hold names it so.
  std::optional<ProcessIdentity> application;
  if (const auto look = lookUpProcess(parentPid); look && look->state == ProcessLook::State::running)
    application = ProcessIdentity{parentPid, look->start};
  int watching = reportDescriptor();
  if (watching >= 0) {
    if (auto reason = detail::unreachableReason()) {
      if (reason->size() > detail::maximumReasonSize)
        reason->resize(detail::maximumReasonSize);
      // A reason that reads as the watching byte would say the opposite.
      if (*reason == "\n")
        *reason = "unknown error";
      report(watching, *reason);
      return {FnGuardOutcome::failed(*reason), std::nullopt, *reason};
    }
    say(watching, "\n");
  }
  // The pipe stays open while we watch and closes the moment we wake,
  // before the lock: a session that finds it at end of file under the lock
  // cannot tell whether our release has already looked for its hold, so it
  // does not install.
  const auto stopWatching = [&watching] {
    if (watching >= 0)
      ::close(std::exchange(watching, -1));
  };

  // The parent's own signal is how a session ends us once it has released
  // the entry itself: we end as if the signal had been left alone.
  const auto endIfTheParents = [&](const StopSignal &caught) {
    if (caught.sender == parentPid)
      detail::endByDefaultAction(caught.number);
  };
  GuardRun run{FnGuardOutcome::alreadyGone(), std::nullopt, std::nullopt};
  while (!run.stoppedBy) {
    if (parent.wait(stops.wakeDescriptor()) == ExitWatch::Wake::exited)
      break;
    if (const auto caught = stops.take()) {
      stopWatching();
      endIfTheParents(*caught);
      run.stoppedBy = caught;
    }
  }
  stopWatching();

  run.outcome = detail::releaseForGuard(arguments, application);
  if (record)
    record(run);
  while (const auto caught = stops.take())
    endIfTheParents(*caught);
  return run;
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
