// SPDX-License-Identifier: Apache-2.0
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
#include "FnRemapKit/KeyMappingLedger.hpp"
#include "FnRemapKit/KeyMappingStore.hpp"

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace FnRemapKit {

/// Why a session could not begin. what() says what failed, in one line;
/// code() says it as a number that does not change with the wording, the
/// C interface's FnRemapErrorCode:
///
///   guardNotStarted     "cannot start the guard at <path>: <reason>" (also
///                       when the guard started but could not be held, for
///                       want of descriptors say, and was killed)
///   guardNotWatching    "the guard at <path> exited before it was watching"
///                       (with its exit status where one can be had), "the
///                       guard at <path> did not report that it was watching
///                       within 20 s", or "the guard at <path> ended before
///                       the remap was installed" (a stranger's signal)
///   guardCannotReach    "the guard at <path> cannot reach the key mapping:
///                       <reason>" (the guard's own words)
///   locked              "the key mapping is locked by another process"
///   lockRefused         "cannot lock the key mapping: <reason>"
///   readFailed          "cannot read the key mapping: <reason>"
///   writeRefused        "the HID system refused the remap" (end(): "the
///                       HID system refused the restored list")
///   stillRemapped       end() only: "the restored key mapping still holds
///                       the remap"
///   keyRemappedByOther  "the key <source> is remapped by process <pid>"
///                       (another application holds our key with another
///                       destination)
///   newerLedger         "the key mapping's holds are kept by a newer
///                       FnRemapKit"
///   holdsNotWritten     "cannot keep the key mapping's holds: <reason>"
///   otherProcess        end() only: "the session belongs to process <pid>,
///                       not to this one"
///   movedFrom           end() only: "the session holds no remap: it was
///                       moved from"
///   calledFromEventHandler  "called from the session's own event handler"
///
/// New codes may be added; the numbers of these stay.
class FnRemapSessionError : public std::runtime_error {
public:
  enum class Code {
    none = 0,
    guardNotStarted,
    guardNotWatching,
    guardCannotReach,
    locked,
    lockRefused,
    readFailed,
    writeRefused,
    stillRemapped,
    keyRemappedByOther,
    newerLedger,
    holdsNotWritten,
    otherProcess,
    movedFrom,
    calledFromEventHandler,
  };

  FnRemapSessionError(Code code, const std::string &message) : std::runtime_error(message), failure(code) {}

  Code code() const noexcept { return failure; }

private:
  Code failure;
};

/// Our entry in the system's key mapping, installed with a running guard.
///
/// begin() starts tarnwick-fn-guard for this process with our entry's two
/// usages and waits, 20 s at most, until the guard reports that it is
/// watching us (the first time a freshly downloaded guard runs, macOS may
/// assess it before it starts, which can take seconds) ("\n" on the pipe named in FnGuard::readyVariable; anything
/// else is why it cannot reach the key mapping). Only then does it take the
/// KeyMappingLock (waiting 2 s at most for another holder) and, under it,
/// unless the guard no longer watches (it has ended, or closed that pipe,
/// which it does as soon as it wakes):
/// repairs the ledger (KeyMappingLedger: the holds of applications that are
/// gone are released), refuses a key that another live application holds
/// with another destination, records our hold and the user's entries that
/// our install displaces, and writes FnRemapMapping::merging(current, ours)
/// (or nothing, when another live hold's identical entry is there already).
/// So there is no moment at which the remap is in place and unguarded:
/// killed at any point, the application leaves a guard that removes the
/// entry, or finds nothing to remove. When any step fails, nothing is left
/// behind: no entry written, no hold kept, no guard running.
///
/// Several sessions, in one application or many, may hold the same entry:
/// it stays while any of them runs, and the last to go takes it out and
/// puts back what the installs displaced (unless the user has set another
/// entry for that key meanwhile, which stays).
///
/// The guard is started detached from everything of ours: its own session,
/// its standard streams on /dev/null, no other descriptor but the pipe,
/// default signal dispositions and an empty signal mask. On macOS it gets
/// the application's bundle identifier to log under.
///
/// end() takes the lock (waiting 2 s at most), repairs the ledger, releases
/// our hold (the entry stays if another live hold names it; else it goes,
/// with what was displaced for our key put back where nothing else stands),
/// verifies the list with a read ("the restored key mapping still holds the
/// remap" otherwise), drops our hold, and then ends the guard (SIGTERM: no removal, no record; SIGKILL after 0.5 s, then 0.5 s
/// more at most; a guard exits at once on its parent's SIGTERM) and reaps
/// it. If the lock or the restore fails, the guard is kept, and still
/// removes the entry when the application exits; end() may be called
/// again. The destructor ends a session not yet ended as end() does, but
/// tries the lock once, without waiting: after an end() that failed for the
/// lock, it returns at once and leaves the removal to the guard. It never
/// throws, and never takes more than about 1 s.
///
/// Between begin() and end(), the session's monitor watches the guard: a
/// thread of the session's own (one per session, asleep in poll(2) on the
/// guard's process descriptor, or on macOS a kqueue, until the guard ends).
/// When the guard ends while our entry is held:
///  - it exited 0, so it released our hold (a stranger's signal asked it
///    to: at logout, say, when a new guard would only be killed with us):
///    the session no longer holds its entry, and says Event::removed;
///  - it exited otherwise (it could not remove the entry): the session
///    releases its hold under the lock, and says Event::removed; if that
///    fails too, it replaces the guard as below;
///  - it was killed (SIGKILL, a crash): the monitor starts a new guard,
///    waits for it to watch as begin() does, then under the lock makes our
///    hold the new guard's and writes our entry back if it is missing, and
///    says Event::guardReplaced. If no guard can be had, or holding again
///    is refused, it releases our hold and says Event::removed; until one
///    of the two is done it tries again each second, so that no entry of
///    ours is ever left with no guard watching it.
/// A ledger of a later FnRemapKit, which this one may not write, is never
/// changed: holding again is refused, and releasing takes our entry out of
/// the list (unless it lacks it) as a guard without a ledger does.
/// The monitor also watches for keyboards appearing (a keyboard service
/// that comes back, after a wake or a reconnect, comes back without the
/// user key mapping): 500 ms after the last of a burst, under the lock, if
/// we hold our entry and the list lacks it, it merges it back by the
/// ledger's rules and says Event::reapplied. Nothing else is written
/// between begin() and end() but by a guard's replacement.
///
/// Nothing the monitor meets ends the application. A step that fails (the
/// lock held by another process, a list that cannot be read, no descriptor
/// to be had) is tried again each second; one that still fails 30 s after
/// its first failure stops the monitor, which says Event::monitorStopped,
/// and monitorStopReason() then has the failure's line and code (those
/// above). Nothing is ended with it: a guard that runs is kept, and removes
/// the entry when the application exits. But until the application acts,
/// no guard is replaced and no entry reapplied, so the remap may be gone,
/// or held with no guard: tell the user, then end() the session (or
/// suspend() it), which releases as it always does and, if that fails,
/// starts the monitor again; resume() starts it again too.
///
/// The handler runs on the monitor's thread, never with the lock held, one
/// event at a time; it must not wait for the thread that ends the session,
/// and what it throws is dropped.
/// From inside it, end() fails with "called from the session's own event
/// handler", and destroying the session leaves it for good (it cannot wait
/// for itself). end() stops the monitor first: a new guard that is not yet
/// watching is ended without waiting for it, a running handler is waited
/// for; then it restores, within its bounds above but for the handler's own
/// time. Once an end() that restored (or the destructor) has returned, the
/// handler is never called again; an end() that failed keeps the guard and
/// the monitor. The monitor keeps nothing open that outlives the session,
/// and a forked child has none (threads do not survive fork).
///
/// The guard is held by a process descriptor (on macOS by its pid, checked
/// against its parent and start time), so no process that took the pid of a
/// guard the system reaped is ever signalled or waited for, and no wait is
/// unbounded. A session acts only in the process that began it: in a child
/// forked from that one, end() reports that and the destructor does nothing.
/// Safe for concurrent calls: any thread may call any of the operations
/// below at any time. suspend(), resume() and end() run one at a time (one
/// waits for another, within its bounds); guardPid(), onEvent(),
/// monitorStopReason() and isCallingFromEventHandler() never wait for them.
/// Moving or destroying a session while another thread uses it is, as for
/// any object, the caller's to order.
class FnRemapSession {
public:
  /// How end() went.
  struct Ending {
    /// The list was restored and the guard ended.
    bool restored;
    /// What failed; empty when restored.
    std::string message;
    /// What failed as a number (see FnRemapSessionError); none when restored.
    FnRemapSessionError::Code code = FnRemapSessionError::Code::none;
  };

  /// What the monitor tells the application.
  enum class Event {
    /// A new guard watches; guardPid() has its pid.
    guardReplaced = 1,
    /// The entry was missing when a keyboard appeared, and is back.
    reapplied = 2,
    /// The session no longer holds its entry: it is out, or kept for
    /// another session.
    removed = 3,
    /// A step failed for 30 s, and the monitor has stopped: see
    /// monitorStopReason(), and above for what to do.
    monitorStopped = 4,
  };
  using EventHandler = std::function<void(Event)>;

  /// Begins a session over \p store; the HID store's holds are the ledger's
  /// file, any other store's a ledger of its own in memory. \p ours must
  /// hold exactly the two keys
  /// FnRemapMapping::srcKey and dstKey, as FnRemapMapping::entry makes it
  /// (std::invalid_argument otherwise). Throws FnRemapSessionError.
  template <KeyMappingStore Store = HIDKeyMappingStore>
  static FnRemapSession begin(const std::string &guardPath, const KeyMappingEntry &ours,
                              Store store = Store()) {
    const auto shared = std::make_shared<const Store>(std::move(store));
    return beginOver(guardPath, ours,
                     AnyStore{[shared] { return shared->read(); },
                              [shared](const KeyMappingList &list) { return shared->write(list); },
                              std::is_same_v<Store, HIDKeyMappingStore> ? KeyMappingLedger::file()
                                                                        : KeyMappingLedger::inMemory(),
                              std::is_same_v<Store, HIDKeyMappingStore>});
  }

  FnRemapSession(FnRemapSession &&) noexcept;
  FnRemapSession &operator=(FnRemapSession &&) noexcept;
  ~FnRemapSession();

  /// The running guard's pid; 0 once it has ended, and in any process but
  /// the one that began the session. Reaps a guard that has exited; never
  /// blocks, nor waits for the monitor (while it is at work, this is the
  /// pid it last saw).
  pid_t guardPid() noexcept;

  /// Sets the monitor's event handler, in place of any before; an empty one
  /// hears nothing. Called while the monitor runs, it takes effect from the
  /// next event.
  void onEvent(EventHandler handler) noexcept;

  /// Why the monitor last stopped on its own (Event::monitorStopped): the
  /// failure's line and code, restored false; nothing if it never has.
  std::optional<Ending> monitorStopReason() const;

  /// Whether the calling thread is this session's monitor, inside its
  /// event handler.
  bool isCallingFromEventHandler() const noexcept;

  /// Ends our hold by the ledger's rules, as end() does (the user's list
  /// comes back, unless another session holds the same entry), but keeps
  /// the guard and the monitor; a suspended session writes nothing when a
  /// keyboard appears. For another user at the keyboard (fast user
  /// switching): the mapping is the whole machine's. Ending::restored is
  /// true once suspended (also when already so, or when the monitor ended
  /// the hold); else the session is as it was, and message says why.
  Ending suspend() noexcept;

  /// Holds our entry again by begin()'s rules (another live session's
  /// other destination for our key is refused), first replacing a guard
  /// that ended while suspended. Ending::restored is true once held again
  /// (also when not suspended); else the session stays suspended.
  Ending resume() noexcept;

  /// Stops the monitor, restores the list and ends the guard; see above. A
  /// session already ended (or whose entry the monitor gave up) reports
  /// restored again and touches nothing; one begun by another
  /// process reports "the session belongs to process <pid>, not to this one".
  Ending end() noexcept;

private:
  struct AnyStore {
    std::function<std::optional<KeyMappingList>()> read;
    std::function<bool(const KeyMappingList &)> write;
    KeyMappingLedger ledger;
    bool hid; // the HID event system's own list, whose keyboards come and go
  };
  struct State;

  static FnRemapSession beginOver(const std::string &guardPath, const KeyMappingEntry &ours,
                                  AnyStore store);
  explicit FnRemapSession(std::unique_ptr<State> state) noexcept;

  std::unique_ptr<State> state;
};

} // namespace FnRemapKit
