// SPDX-License-Identifier: Apache-2.0
//===- FnRemapKit/KeyMappingLock.hpp - One writer of the list at a time ---===//
//
// Every read-modify-write of the user key mapping that FnRemapKit makes (the
// guard's removal, a session's install and restore) holds this lock, so that
// no FnRemapKit writer loses another's change: guards that wake together,
// two applications that end at once. It is advisory: hidutil and any other
// writer pass it by.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <chrono>
#include <string>
#include <utility>

namespace FnRemapKit {

/// The lock, held from acquire() until the object goes. It is flock(2) on a
/// lock file: the kernel drops it when its holder dies, and no descriptor of
/// it is inherited by a program we start.
///
/// The lock file: off macOS, UserKeyMapping.lock beside the stand-in's
/// UserKeyMapping.json, under the same rules (the user's own, not writable
/// by group or others, no symbolic link), created with mode 0600. On macOS,
/// where the key mapping is one for the whole machine, one file for the
/// machine, lockFilePath(): created with mode 0644 by whoever comes first
/// and opened read-only, without following a link, and only if it is a
/// regular file.
class KeyMappingLock {
public:
  /// How long acquire() waits for another holder unless told otherwise: long
  /// enough for a busy machine's writers, short enough that one stopped or
  /// hung holder does not hold up the rest for long.
  static constexpr std::chrono::milliseconds defaultBound{2000};

  /// Takes the lock, waiting at most \p bound while another process holds
  /// it. The result is held, or says why not in error().
  static KeyMappingLock acquire(std::chrono::milliseconds bound = defaultBound) noexcept;

  /// Where the lock file is.
  static std::string lockFilePath();

  KeyMappingLock(KeyMappingLock &&other) noexcept;
  KeyMappingLock &operator=(KeyMappingLock &&other) = delete;
  KeyMappingLock(const KeyMappingLock &) = delete;
  KeyMappingLock &operator=(const KeyMappingLock &) = delete;
  /// Releases the lock before closing the file, since a child forked
  /// meanwhile shares the open file and with it the lock.
  ~KeyMappingLock();

  bool held() const noexcept { return fd >= 0; }
  /// Not held because another process held it for the whole bound (rather
  /// than because its file is refused): worth waiting for again.
  bool busy() const noexcept { return contended; }
  explicit operator bool() const noexcept { return held(); }
  /// Empty when held; else "the key mapping is locked by another process",
  /// or "cannot lock the key mapping: " and why the lock file is refused.
  const std::string &error() const noexcept { return failure; }

private:
  KeyMappingLock(int fd, std::string failure, bool contended = false) noexcept
      : fd(fd), failure(std::move(failure)), contended(contended) {}

  int fd;
  std::string failure;
  bool contended;
};

} // namespace FnRemapKit
