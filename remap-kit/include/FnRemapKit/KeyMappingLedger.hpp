// SPDX-License-Identifier: Apache-2.0
//===- FnRemapKit/KeyMappingLedger.hpp - Who holds which remap ------------===//
//
// Several sessions may want the same entry (every application that takes
// the default Fn to F19 does, and so do two instances of one application),
// and the entry must stay while any of them runs and go once the last has
// gone. The ledger says who holds what: one hold per session, and for each
// source key the user's own entries that installs for it displaced, to be
// put back once the last hold of that source has ended.
//
// It belongs to the store, as the lock does: the HID event system's ledger
// is a file, and any other store gets one of its own in memory. Every write
// of it, and every read that a write depends on, is made under the
// KeyMappingLock; every write replaces the whole file by rename.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/KeyMapping.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace FnRemapKit {

/// A process for good: its pid and its start time, so that a process that
/// the system later hands the pid to is not taken for it. The start time
/// counts clock ticks since boot on Linux and microseconds since the epoch
/// on macOS.
struct ProcessIdentity {
  std::int32_t pid = 0;
  std::uint64_t start = 0;

  friend bool operator==(const ProcessIdentity &, const ProcessIdentity &) = default;
};

/// Whether \p process still runs: its pid exists, with the same start time,
/// and it has not exited. A lookup that is refused counts as running: we
/// cannot tell, and taking a live application for gone would undo its
/// remap under it.
bool isRunning(const ProcessIdentity &process) noexcept;

/// The short name the system shows for \p pid; empty when it shows none.
std::string processName(std::int32_t pid);

/// This boot of the machine: kern.bootsessionuuid on macOS,
/// /proc/sys/kernel/random/boot_id on Linux; empty when it cannot be read.
std::string bootIdentifier();

/// One session's claim on its entry. It is live while its application
/// runs, in this boot of the machine.
struct KeyMappingHold {
  ProcessIdentity application;
  ProcessIdentity guard;
  /// The boot it was made in (kern.bootsessionuuid, or Linux's boot_id).
  std::string boot;
  KeyMappingEntry entry;

  friend bool operator==(const KeyMappingHold &, const KeyMappingHold &) = default;
};

/// What the ledger holds: the holds in the order they were made, and by
/// source the entries that installs for it displaced, in the list's order
/// (never a foreign one, which nothing displaces).
struct KeyMappingHolds {
  std::vector<KeyMappingHold> holds;
  std::map<std::int64_t, std::vector<KeyMappingEntry>> displaced;

  friend bool operator==(const KeyMappingHolds &, const KeyMappingHolds &) = default;
};

/// Where the holds are kept.
///
/// The HID event system's ledger is a file: off macOS UserKeyMapping.holders
/// beside the stand-in's UserKeyMapping.json; on macOS
/// /Users/Shared/.FnRemapKit.holders.UID, one for each user, since
/// /Users/Shared lets no user remove another's file. Each obeys the lock
/// file's rules (the user's own, no symbolic link, not writable by group or
/// others). Its text is JSON that starts {"version": 1; a later
/// FnRemapKit's starts with a higher number and is left as it is, whatever
/// else it holds. One of version 1 that is longer than 1 MiB, or holds
/// anything but what this version writes (a string that is not UTF-8, which
/// no list would take back, included), is damaged.
class KeyMappingLedger {
public:
  /// The HID event system's ledger.
  static KeyMappingLedger file();
  /// A ledger of its own, empty, in memory; copies share it.
  static KeyMappingLedger inMemory();

  /// What load() found.
  struct Loaded {
    enum class State {
      read,    ///< the holds as written, or none when there is no ledger yet
      damaged, ///< it could not be parsed: moved aside to damagedPath(), holds empty
      newer,   ///< a later FnRemapKit's, left as it is; holds empty
    };
    State state;
    KeyMappingHolds holds;
  };

  /// Reads the ledger; call it under the lock. Throws std::runtime_error
  /// saying why when the file is refused by the rules or cannot be read.
  Loaded load() const;

  /// Reads the ledger as load() does, but leaves a damaged file where it
  /// is: for a reader that does not hold the lock, and so writes nothing.
  Loaded peek() const;

  /// Replaces the ledger with \p holds; call it under the lock. Throws
  /// std::runtime_error saying why when it cannot.
  void save(const KeyMappingHolds &holds) const;

  /// Where the file is; empty for a ledger in memory, or when the stand-in
  /// has no state directory.
  std::string path() const;
  /// Where a damaged file is moved: path() with ".damaged" added. A later
  /// damaged file replaces an earlier one there.
  std::string damagedPath() const;

  struct Impl;

private:
  explicit KeyMappingLedger(std::shared_ptr<Impl> impl) : impl(std::move(impl)) {}
  Loaded read(bool moveDamagedAside) const;
  std::shared_ptr<Impl> impl;
};

} // namespace FnRemapKit
