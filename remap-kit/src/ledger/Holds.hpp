// SPDX-License-Identifier: Apache-2.0
//===- ledger/Holds.hpp - The rules by which sessions share the list ------===//
//
// What one read-modify-write of the list and the ledger does, as pure
// functions over both, planned under the KeyMappingLock by whoever writes:
// a session's install and its end, a guard's release, and the repair that
// each of them runs first. A session keeps its own hold by them through
// HoldKeeper.hpp.
//
// A hold is live while its application runs, in this boot. An entry leaves
// the list only once no live hold names it; the user's entries that
// installs for a source displaced come back when the last hold of that
// source has gone, and only while the list holds no other entry for it (the
// user may have set one since). The list is written before the ledger
// drops a hold, so that a writer that dies in between leaves a hold whose
// release the next repair makes again, without harm.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/KeyMappingLedger.hpp"

#include <cstdint>
#include <functional>
#include <string>

namespace FnRemapKit::Holds {

/// What the rules ask of the system.
struct World {
  /// Whether an application still runs (support/ProcessIdentity.hpp).
  std::function<bool(const ProcessIdentity &)> running;
  /// This boot.
  std::string boot;
  /// Whether the list survives a restart: if not, a hold of another boot
  /// has nothing in the list to release.
  bool listOutlivesRestart;

  /// This machine.
  static World real();
};

/// The list and the ledger as one change leaves them.
struct Plan {
  KeyMappingList list;
  KeyMappingHolds ledger;
};

/// Picks holds; an empty one picks none.
using Pick = std::function<bool(const KeyMappingHold &)>;

/// Whether \p hold's application runs, in this boot.
bool isLive(const KeyMappingHold &hold, const World &world);

/// Ends, in \p plan, every hold whose application is gone or that is of
/// another boot (the repair), every hold \p leaving picks, and \p ours when
/// given (a guard's entry, held or not): each entry they name that no
/// other live hold names leaves the list, and the entries displaced for its
/// source come back while the list holds no other entry for it. Then those
/// holds leave the ledger, and with them the displaced entries of every
/// source that no hold names any more. Returns the application whose live
/// hold keeps \p ours in the list; 0 when none does.
std::int32_t release(Plan &plan, const World &world, const Pick &leaving = {},
                     const KeyMappingEntry *ours = nullptr);

/// The application of a live hold of \p ours's source with another
/// destination, whose remap installing \p ours would undo; 0 when none.
std::int32_t conflicting(const KeyMappingHolds &ledger, const World &world, const KeyMappingEntry &ours);

/// Adds \p hold to the ledger, and as displaced the entries of the list
/// that installing it drops, all but those equal to the hold's entry: they
/// replace what earlier installs displaced for the source, since they are
/// what the user wants now (with none dropped, what was displaced stays).
/// An entry equal to ours is never displaced: it is ours, or one no
/// different from ours.
void addHold(Plan &plan, const KeyMappingHold &hold);

/// The list with \p hold's entry installed: the list as it is when
/// another live hold names the same entry and the list holds it, else
/// FnRemapMapping::merging.
KeyMappingList installing(const Plan &plan, const World &world, const KeyMappingHold &hold);

/// Merges back into the list the entry of every live hold that the list
/// lacks, but those \p leaving picks, recording what each merge drops as
/// addHold does: a write made without the lock may have taken out the
/// entry of a session that began meanwhile.
void restoreLive(Plan &plan, const World &world, const Pick &leaving);

/// The release of \p ours alone, as a guard makes it without the lock: no
/// repair, no hold dropped. Returns the application of a live hold, other
/// than those \p own picks, that keeps \p ours in the list; else takes
/// \p ours out, with what was displaced for its source put back where
/// nothing else stands, and returns 0. Written back over a list that
/// another writer changed since it was read, a release puts the user's
/// entries back rather than lose them.
std::int32_t releaseEntry(Plan &plan, const World &world, const Pick &own, const KeyMappingEntry &ours);

} // namespace FnRemapKit::Holds
