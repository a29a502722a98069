// SPDX-License-Identifier: Apache-2.0
#include "SessionMonitor.hpp"

#include "../support/Pipe.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace FnRemapKit::Monitor {

bool SessionMonitor::start(std::function<void(SessionMonitor &)> body) noexcept {
  if (thread.joinable() || !body)
    return false;
  if (openPipe(stopRead, stopWrite) != 0)
    return false;
  stopRequested = false;
  try {
    thread = std::thread([this, body = std::move(body)] {
      runner = std::this_thread::get_id();
      try {
        body(*this);
      } catch (...) {
        // Out of the thread, it would end the application.
      }
    });
  } catch (...) {
    stopRead = FileDescriptor();
    stopWrite = FileDescriptor();
    return false;
  }
  return true;
}

void SessionMonitor::stop() noexcept {
  if (!thread.joinable() || isCurrent())
    return;
  stopRequested = true;
  // A byte never read: the pipe stays readable for every wait after it.
  while (::write(stopWrite.get(), "", 1) < 0 && errno == EINTR) {
  }
  thread.join();
  runner = std::thread::id();
  stopRead = FileDescriptor();
  stopWrite = FileDescriptor();
}

std::optional<std::size_t> SessionMonitor::waitFor(std::span<const int> notices,
                                                   std::chrono::milliseconds limit) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::vector<pollfd> watched;
  try {
    watched.reserve(notices.size() + 1);
  } catch (...) {
    return notices.size(); // as if the time had passed: the caller looks again
  }
  watched.push_back({stopRead.get(), POLLIN, 0});
  for (const int notice : notices)
    watched.push_back({notice, POLLIN, 0});
  for (;;) {
    if (stopping())
      return std::nullopt;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return notices.size();
    const int ready = ::poll(watched.data(), watched.size(), static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR)
      continue;
    if (watched[0].revents != 0)
      return std::nullopt;
    if (ready < 0) // a poll that cannot wait: the caller looks
      return notices.size();
    for (std::size_t index = 1; index < watched.size(); ++index)
      if (watched[index].revents != 0)
        return index - 1;
  }
}

} // namespace FnRemapKit::Monitor
