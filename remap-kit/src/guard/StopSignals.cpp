// SPDX-License-Identifier: Apache-2.0
#include "StopSignals.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace FnRemapKit::FnGuard::detail {

namespace {

// What the handler writes: one record, far below PIPE_BUF, so that each
// write is whole or not at all.
struct Record {
  int number;
  std::int32_t sender;
};

volatile std::sig_atomic_t handlerPipe = -1;

// Only async-signal-safe calls; a full pipe drops the record, which is
// harmless, since the ones before it already wake the wait.
void onStopSignal(int number, siginfo_t *info, void *) {
  const int savedErrno = errno;
  const Record record{number, info ? static_cast<std::int32_t>(info->si_pid) : 0};
  if (const int fd = handlerPipe; fd >= 0)
    [[maybe_unused]] const auto written = ::write(fd, &record, sizeof record);
  errno = savedErrno;
}

bool makePipe(int ends[2]) {
#if defined(__linux__)
  return ::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0;
#else
  if (::pipe(ends) != 0)
    return false;
  for (int i = 0; i < 2; ++i)
    if (::fcntl(ends[i], F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(ends[i], F_SETFL, ::fcntl(ends[i], F_GETFL) | O_NONBLOCK) != 0) {
      ::close(ends[0]);
      ::close(ends[1]);
      return false;
    }
  return true;
#endif
}

} // namespace

std::vector<int> stopSignalNumbers() {
  std::vector<int> numbers = {SIGHUP,    SIGINT,  SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                              SIGTERM,   SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};
#if defined(__linux__)
  numbers.insert(numbers.end(), {SIGIO, SIGPWR});
#if defined(SIGSTKFLT)
  numbers.push_back(SIGSTKFLT);
#endif
  for (int number = SIGRTMIN; number <= SIGRTMAX; ++number)
    numbers.push_back(number);
#endif
  return numbers;
}

StopSignals::StopSignals() noexcept {
  int ends[2];
  if (makePipe(ends)) {
    readEnd = ends[0];
    writeEnd = ends[1];
    handlerPipe = writeEnd;
  }
  const std::vector<int> numbers = stopSignalNumbers();
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  for (const int number : numbers)
    sigaddset(&action.sa_mask, number);
  // SA_RESTART keeps the release's own reads and writes going; the wait
  // learns of the signal from the pipe, not from EINTR.
  if (writeEnd >= 0) {
    action.sa_sigaction = onStopSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
  } else {
    // Without a pipe the old rule holds: each ends us by its default action,
    // even one the parent left ignored.
    action.sa_handler = SIG_DFL;
  }
  saved.reserve(numbers.size());
  for (const int number : numbers) {
    Saved previous{number, {}};
    if (::sigaction(number, &action, &previous.action) == 0)
      saved.push_back(previous);
  }
  sigset_t stoppers;
  sigemptyset(&stoppers);
  for (const int number : numbers)
    sigaddset(&stoppers, number);
  sigemptyset(&savedMask);
  ::sigprocmask(SIG_UNBLOCK, &stoppers, &savedMask);
}

StopSignals::~StopSignals() {
  for (const Saved &previous : saved)
    ::sigaction(previous.number, &previous.action, nullptr);
  ::sigprocmask(SIG_SETMASK, &savedMask, nullptr);
  handlerPipe = -1;
  if (readEnd >= 0)
    ::close(readEnd);
  if (writeEnd >= 0)
    ::close(writeEnd);
}

std::optional<StopSignal> StopSignals::take() noexcept {
  if (readEnd < 0)
    return std::nullopt;
  Record record{};
  ssize_t got = 0;
  do
    got = ::read(readEnd, &record, sizeof record);
  while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof record))
    return std::nullopt;
  return StopSignal{record.number, record.sender};
}

void endByDefaultAction(int number) noexcept {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(number, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, number);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(number);
  // Every stop signal ends a process by default; should this one not have,
  // end as a shell would show it.
  std::_Exit(128 + number);
}

} // namespace FnRemapKit::FnGuard::detail
