// SPDX-License-Identifier: Apache-2.0
#include "FnRemapKit/KeyMappingLock.hpp"

#include "HIDSystem.hpp"

#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace FnRemapKit {

// flock has no timeout of its own, and a signal to end it would be state
// shared with the whole process, so the wait tries again at short, growing
// pauses. Holders keep the lock for a read and a write: milliseconds.
KeyMappingLock KeyMappingLock::acquire(std::chrono::milliseconds bound) noexcept {
  using namespace std::chrono;
  try {
    FileDescriptor file = HID::openLockFile();
    const auto deadline = steady_clock::now() + bound;
    for (milliseconds pause{1};; pause = std::min(pause * 2, milliseconds{16})) {
      if (::flock(file.get(), LOCK_EX | LOCK_NB) == 0)
        return KeyMappingLock(file.release(), {});
      const int error = errno;
      if (error == EINTR)
        continue;
      if (error != EWOULDBLOCK)
        return KeyMappingLock(-1, "cannot lock the key mapping: " + lockFilePath() + ": " + std::strerror(error));
      const auto left = deadline - steady_clock::now();
      if (left <= nanoseconds::zero())
        return KeyMappingLock(-1, "the key mapping is locked by another process", true);
      const auto nap = std::min<nanoseconds>(pause, left);
      const timespec interval{0, static_cast<long>(nap.count())};
      ::nanosleep(&interval, nullptr);
    }
  } catch (const std::exception &refused) {
    return KeyMappingLock(-1, std::string("cannot lock the key mapping: ") + refused.what());
  }
}

std::string KeyMappingLock::lockFilePath() { return HID::lockFilePath(); }

KeyMappingLock::KeyMappingLock(KeyMappingLock &&other) noexcept
    : fd(std::exchange(other.fd, -1)), failure(std::move(other.failure)), contended(other.contended) {}

KeyMappingLock::~KeyMappingLock() {
  if (fd >= 0) {
    ::flock(fd, LOCK_UN);
    ::close(fd);
  }
}

} // namespace FnRemapKit
