// SPDX-License-Identifier: Apache-2.0
//===- ledger/HoldKeeper.hpp - One session's hold, taken and let go -------===//
//
// A session's side of the rules in Holds.hpp: its entry, over the list and
// the ledger of its store, and the hold that keeps it there. Installing
// and releasing are each one read-modify-write of both, made under the
// KeyMappingLock; the caller holds it, but for releaseWithin(), which
// takes it. Not safe to share between threads: FnRemapSession.cpp says
// whose it is when.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/FnRemapSession.hpp"
#include "Holds.hpp"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace FnRemapKit::Holds {

class HoldKeeper {
public:
  using Ending = FnRemapSession::Ending;
  using ListRead = std::function<std::optional<KeyMappingList>()>;
  using ListWrite = std::function<bool(const KeyMappingList &)>;

  /// Keeps \p ours over the list that \p read and \p write reach and over
  /// \p ledger; nothing is held yet.
  HoldKeeper(ListRead read, ListWrite write, KeyMappingLedger ledger, KeyMappingEntry ours)
      : read(std::move(read)), write(std::move(write)), ledger(std::move(ledger)), ours(std::move(ours)) {}
  HoldKeeper(const HoldKeeper &) = delete;
  HoldKeeper &operator=(const HoldKeeper &) = delete;

  /// One of our entry's two usages (FnRemapMapping::srcKey or dstKey).
  std::int64_t usage(std::string_view key) const { return ours.at(std::string(key)); }

  /// Whether our hold and entry are in, not yet released.
  bool holding() const noexcept { return installed; }

  /// Under the lock: the repair, then our hold for the guard \p guard,
  /// then our entry. Throws with no entry of ours in the list; a hold of
  /// ours left when even taking it out fails is ended by the next repair
  /// after we exit. Holding already (a guard replaced), the new guard's
  /// hold takes the place of ours, and the entry goes back only if it is
  /// missing.
  void install(pid_t guard);

  /// Under the lock: the repair and our release, the list written and
  /// verified, and only then our hold dropped, after which we hold nothing.
  /// Over a later FnRemapKit's ledger, which is not ours to write, as a
  /// guard without a ledger: our entry out unless the list lacks it.
  /// Returns what failed, if anything; throws only for want of memory.
  std::optional<Ending> release();

  /// release() under the lock, waiting \p lockBound at most for it.
  Ending releaseWithin(std::chrono::milliseconds lockBound) noexcept;

  /// Notes that our hold was released for us (by a guard that exited 0).
  void forget() noexcept { installed = false; }

  /// Whether the ledger still has our hold; when it cannot be read, as if
  /// so. Without the lock.
  bool kept() const noexcept;

  /// Whether our entry is missing from the list; throws saying what cannot
  /// be read.
  bool entryMissing() const;

private:
  Plan current(bool *newer = nullptr) const;
  void save(const KeyMappingHolds &holds) const;
  std::optional<Ending> releaseOrThrow();

  const ListRead read;
  const ListWrite write;
  const KeyMappingLedger ledger;
  const KeyMappingEntry ours;
  KeyMappingHold hold;    // ours in the ledger, once installed
  bool installed = false; // our hold and entry are in, not yet released
};

} // namespace FnRemapKit::Holds
