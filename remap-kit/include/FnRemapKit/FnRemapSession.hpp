//===- FnRemapKit/FnRemapSession.hpp - An application's remap, guarded ----===//
//
// The application's side in one object: install our entry so that it cannot
// outlive the application, and restore the list on a normal quit.
//
//   auto session = FnRemapSession::begin(guardPath, FnRemapMapping::entry(
//       FnRemapMapping::fnSource, FnRemapMapping::fnDestination));
//   ...                                  // the application runs
//   if (auto ending = session.end(); !ending.restored)
//     report(ending.message);            // the guard still removes the entry
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/HIDKeyMappingStore.hpp"
#include "FnRemapKit/KeyMappingStore.hpp"

#include <sys/types.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace FnRemapKit {

/// Why a session could not begin. what() says what failed:
/// "cannot read the key mapping: <reason>", "cannot start the guard at
/// <path>: <reason>" or "the HID system refused the remap".
class FnRemapSessionError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

/// Our entry in the system's key mapping, installed with a running guard.
///
/// begin() reads the list (the original), starts tarnwick-fn-guard for this
/// process with our entry's two usages, and only then writes
/// FnRemapMapping::merging(original, ours). So there is no moment at which
/// the remap is in place and unguarded: killed at any point, the application
/// leaves a guard that removes the entry, or finds nothing to remove. When
/// any step fails, nothing is left behind: no entry written, no guard
/// running.
///
/// The guard is started detached from everything of ours: its own session,
/// its standard streams on /dev/null, no other descriptor, default signal
/// dispositions and an empty signal mask.
///
/// end() writes FnRemapMapping::restoring(current, ours, original) and then
/// ends the guard (SIGTERM: no removal, no record) and reaps it. If the
/// restore fails, the guard is kept, and still removes the entry when the
/// application exits; end() may be called again. The destructor ends a
/// session not yet ended, and never throws.
///
/// The session waits only for its own guard and never blocks on one that is
/// still running: a guard that someone else killed is reaped at the next
/// call. Not safe for concurrent use; one session per entry.
class FnRemapSession {
public:
  /// How end() went.
  struct Ending {
    /// The list was restored and the guard ended.
    bool restored;
    /// What failed; empty when restored.
    std::string message;
  };

  /// Begins a session over \p store. \p ours must hold exactly the two keys
  /// FnRemapMapping::srcKey and dstKey, as FnRemapMapping::entry makes it
  /// (std::invalid_argument otherwise). Throws FnRemapSessionError.
  template <KeyMappingStore Store = HIDKeyMappingStore>
  static FnRemapSession begin(const std::string &guardPath, const KeyMappingEntry &ours,
                              Store store = Store()) {
    const auto shared = std::make_shared<const Store>(std::move(store));
    return beginOver(guardPath, ours,
                     AnyStore{[shared] { return shared->read(); },
                              [shared](const KeyMappingList &list) { return shared->write(list); }});
  }

  FnRemapSession(FnRemapSession &&) noexcept;
  FnRemapSession &operator=(FnRemapSession &&) noexcept;
  ~FnRemapSession();

  /// The running guard's pid; 0 once it has ended and been reaped.
  pid_t guardPid() noexcept;

  /// Restores the list and ends the guard; see above. A session already
  /// ended reports restored again and touches nothing.
  Ending end() noexcept;

private:
  struct AnyStore {
    std::function<std::optional<KeyMappingList>()> read;
    std::function<bool(const KeyMappingList &)> write;
  };
  struct State;

  static FnRemapSession beginOver(const std::string &guardPath, const KeyMappingEntry &ours,
                                  AnyStore store);
  explicit FnRemapSession(std::unique_ptr<State> state) noexcept;

  std::unique_ptr<State> state;
};

} // namespace FnRemapKit
