// SPDX-License-Identifier: Apache-2.0
// FnRemapKit/FnRemapKit.h - The C interface, for C, Objective-C and Swift
//
// An application's Fn remap, installed so that it cannot outlive the
// application: FnRemapSessionBegin starts tarnwick-fn-guard for this process
// and only then installs the remap; FnRemapSessionEnd restores the key
// mapping on a normal quit. However else the application ends, the guard
// removes the remap.
//
//   char error[256];
//   FnRemapErrorCode code;
//   FnRemapSessionRef session = FnRemapSessionBeginWithCode(
//       guardPath, FnRemapFnSource, FnRemapFnDestination, &code, error, sizeof error);
//   if (!session) { report(code, error); return; }
//   ...
//   if (!FnRemapSessionEndWithCode(session, &code, error, sizeof error)) report(code, error);
//   FnRemapSessionFree(session);
//
// Functions that can fail write what failed, as one line of text, into the
// caller's buffer (truncated to its size, always NUL-terminated; a NULL
// buffer or a size of 0 is allowed), and the ...WithCode ones its code as
// well (a NULL code is allowed). Nothing here throws or keeps global
// state. A session's functions may be called from any threads at once:
// Suspend, Resume and End run one at a time, and the others never wait for
// them; FnRemapSessionFree comes after every other call on the session.
//
// Pointers are annotated as Core Foundation's are: inside the audited
// region every pointer is _Nonnull unless marked _Nullable. Compilers
// without the annotations (gcc, any C11 compiler) read them as nothing.
#ifndef FNREMAPKIT_FNREMAPKIT_H
#define FNREMAPKIT_FNREMAPKIT_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// The version of this header. The library's own, which a program may have
// been linked or bundled with apart from the header it was compiled with,
// is FnRemapKitVersion()'s. While the major version is 0, a new minor
// version may change the interface.
#define FNREMAPKIT_VERSION_MAJOR 0
#define FNREMAPKIT_VERSION_MINOR 9
#define FNREMAPKIT_VERSION_PATCH 0
#define FNREMAPKIT_VERSION_STRING "0.9.0"

#if defined(__has_feature)
#if __has_feature(nullability)
#define FNREMAPKIT_HAS_NULLABILITY 1
#endif
#endif
#if !defined(FNREMAPKIT_HAS_NULLABILITY)
#if !defined(_Nullable)
#define _Nullable
#endif
#if !defined(_Nonnull)
#define _Nonnull
#endif
#endif

// FNREMAPKIT_ENUM(TYPE, NAME) { ... }; declares the enumeration NAME as
// Core Foundation's CF_ENUM does: with TYPE as its underlying type where the
// compiler takes one (C++11, C23, clang's C and Objective-C), so that its
// size is TYPE's on every compiler; elsewhere NAME is TYPE and the
// enumerators are constants. __extension__ keeps clang's pedantic C from
// warning about what it accepts.
#if defined(__GNUC__)
#define FNREMAPKIT_EXTENSION __extension__
#else
#define FNREMAPKIT_EXTENSION
#endif
// FNREMAPKIT_NAMED_ENUM(TYPE, NAME, SWIFTNAME) does the same, and Swift
// calls the enumeration SWIFTNAME.
#if defined(__has_attribute)
#if __has_attribute(swift_name)
#define FNREMAPKIT_SWIFT_NAME(name) __attribute__((swift_name(#name)))
#endif
#endif
#ifndef FNREMAPKIT_SWIFT_NAME
#define FNREMAPKIT_SWIFT_NAME(name)
#endif
#if (defined(__cplusplus) && __cplusplus >= 201103L) || \
    (!defined(__cplusplus) && (defined(__clang__) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 202311L)))
#define FNREMAPKIT_NAMED_ENUM(type, name, swiftName) \
  FNREMAPKIT_EXTENSION enum FNREMAPKIT_SWIFT_NAME(swiftName) name : type; \
  typedef enum name name; \
  FNREMAPKIT_EXTENSION enum name : type
#else
#define FNREMAPKIT_NAMED_ENUM(type, name, swiftName) \
  typedef type name FNREMAPKIT_SWIFT_NAME(swiftName); \
  enum
#endif
#define FNREMAPKIT_ENUM(type, name) FNREMAPKIT_NAMED_ENUM(type, name, name)

// An enumerator kept for an old name, which compilers that can say so call
// deprecated.
#if defined(__has_attribute)
#if __has_attribute(deprecated)
#define FNREMAPKIT_DEPRECATED(message) __attribute__((deprecated(message)))
#endif
#endif
#if !defined(FNREMAPKIT_DEPRECATED)
#define FNREMAPKIT_DEPRECATED(message)
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The annotations are clang's, not C's or C++'s: a pedantic build of the
// caller's is not to be told so.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wnullability-extension"
#pragma clang assume_nonnull begin
#endif

// FNREMAPKIT_VERSION_STRING as the library was built with it.
const char *FnRemapKitVersion(void);

// The Fn key: usage page 0xFF (Apple's vendor top case page), usage 0x03.
extern const int64_t FnRemapFnSource;
// The Fn key as other Apple keyboards report it: usage page 0xFF01 (Apple's
// vendor keyboard page), usage 0x03. Which one a keyboard sends depends on
// its model, so remapping Fn on every Apple keyboard takes a session for each.
extern const int64_t FnRemapFnVendorKeyboardSource;
// Keyboard page 0x07, usage 0x6E (F19).
extern const int64_t FnRemapFnDestination;
// The virtual key code that key events carry for the destination key.
extern const uint16_t FnRemapFnDestinationKeyCode;

// What failed, beside its line of text; the numbers stay, new codes may be
// added. The lines each code comes with:
FNREMAPKIT_ENUM(int32_t, FnRemapErrorCode) {
  FnRemapErrorNone = 0,             // nothing failed
  FnRemapErrorGuardNotStarted = 1,  // "cannot start the guard at PATH: ..."; a NULL guardPath
  FnRemapErrorGuardNotWatching = 2, // "the guard at PATH exited before it was watching ...",
                                    // "... did not report that it was watching within 20 s",
                                    // "... ended before the remap was installed"
  FnRemapErrorGuardCannotReach = 3, // "the guard at PATH cannot reach the key mapping: ..."
  FnRemapErrorLocked = 4,           // "the key mapping is locked by another process"
  FnRemapErrorLockRefused = 5,      // "cannot lock the key mapping: ..."
  FnRemapErrorReadFailed = 6,       // "cannot read the key mapping: ..."
  FnRemapErrorWriteRefused = 7,     // "the HID system refused the remap" (or "the restored list")
  FnRemapErrorStillRemapped = 8,    // "the restored key mapping still holds the remap"
  FnRemapErrorKeyRemappedByOther = 9, // "the key SRC is remapped by process PID"
  FnRemapErrorNewerLedger = 10,     // "the key mapping's holds are kept by a newer FnRemapKit"
  FnRemapErrorHoldsNotWritten = 11, // "cannot keep the key mapping's holds: ..."
  FnRemapErrorOtherProcess = 12,    // "the session belongs to process PID, not to this one"
  FnRemapErrorNoSession = 13,       // "no session": a NULL one
  FnRemapErrorCalledFromEventHandler = 14, // "called from the session's own event handler"
  FnRemapErrorMovedFrom FNREMAPKIT_DEPRECATED("use FnRemapErrorNoSession") = FnRemapErrorNoSession,
};

// An application's remap and its guard. Owned by the caller, who releases it
// with FnRemapSessionFree. The functions below take NULL too (a Begin that
// failed): they fail with FnRemapErrorNoSession ("no session"), return 0 or
// do nothing.
typedef struct FnRemapSessionData *FnRemapSessionRef;

// Starts the guard at guardPath for this process with src and dst, waits
// (20 s at most: the first time a freshly downloaded guard runs, macOS may
// assess it before it starts) until it reports that it is watching, then, under the key
// mapping's lock (waiting 2 s at most for another holder), records the
// session's hold in the ledger beside the lock and installs the entry
// {src, dst} in place of every entry for src; another session's identical
// entry is shared. Returns the session, or NULL with nothing written and no
// guard left running; error then reads
// "cannot start the guard at PATH: ...", "the guard at PATH exited before
// it was watching ...", "the guard at PATH cannot reach the key mapping:
// ..." (the guard's own words), "the guard at PATH did not report that it
// was watching within 20 s", "the key mapping is locked by another
// process", "cannot lock the key mapping: ...", "cannot read the key
// mapping: ...", "the key mapping's holds are kept by a newer FnRemapKit",
// "cannot keep the key mapping's holds: ...", "the key SRC is remapped by
// process PID" or "the HID system refused the remap".
FnRemapSessionRef _Nullable FnRemapSessionBegin(const char *_Nullable guardPath, int64_t src, int64_t dst,
                                                char *_Nullable error, size_t errorSize);

// FnRemapSessionBegin, with what failed as a code in *code as well
// (FnRemapErrorNone on success).
FnRemapSessionRef _Nullable FnRemapSessionBeginWithCode(const char *_Nullable guardPath, int64_t src, int64_t dst,
                                                        FnRemapErrorCode *_Nullable code, char *_Nullable error,
                                                        size_t errorSize);

// Stops the session's monitor (a new guard not yet watching is ended, a
// running event handler waited for), then releases the session's hold
// under the lock (waiting 2 s at most): the
// entry stays while another live session holds it; the last one out puts
// back what the installs displaced (entries others added since are kept,
// and a user's own new entry for src wins). Then it ends
// the guard (SIGTERM, SIGKILL after 0.5 s, then 0.5 s more at most) and
// reaps it. Returns true when restored; false with what failed in error,
// the guard then kept so that it still removes the entry when the
// application exits. May be called again; after success it does nothing
// and returns true. In a process forked from the one that began the
// session it does nothing and returns false.
bool FnRemapSessionEnd(FnRemapSessionRef _Nullable session, char *_Nullable error, size_t errorSize);

// FnRemapSessionEnd, with what failed as a code in *code as well
// (FnRemapErrorNone when restored).
bool FnRemapSessionEndWithCode(FnRemapSessionRef _Nullable session, FnRemapErrorCode *_Nullable code,
                               char *_Nullable error, size_t errorSize);

// The pid of the running guard, or 0 once it has ended (and in a process
// forked from the one that began the session). A guard that someone else
// ended is reaped here; this never blocks.
pid_t FnRemapSessionGetGuardPID(FnRemapSessionRef _Nullable session);

// What a session's monitor tells the application. Between Begin and End,
// the monitor (one thread per session) watches the guard. A guard that
// exited 0 has released the entry (someone stopped it: the remap is meant
// to go), so the session no longer holds it: Removed. A guard that could
// not remove it is released for by the session: Removed. A guard that was
// killed is replaced, and the entry written back if it is missing:
// GuardReplaced; if no new guard can be had, the entry is released:
// Removed. No entry of the session's is ever left with no guard watching.
// A keyboard that appears (after a wake, a reconnect) comes without the
// user key mapping: once a burst is over, a missing entry of a session
// that holds it is merged back: Reapplied. A ledger of a newer FnRemapKit
// is never written: holding again is refused, and releasing takes the
// entry out as a guard without a ledger does.
//
// Nothing the monitor meets ends the application. A step that fails (the
// lock held by another process, a list that cannot be read, no descriptor
// to be had) is tried again each second; one that still fails 30 s after
// its first failure stops the monitor: MonitorStopped, and
// FnRemapSessionGetMonitorStopReason gives the failure's code and line
// (those of FnRemapErrorCode). Nothing is ended with it: a guard that runs
// is kept, and removes the entry when the application exits. But until the
// application acts, no guard is replaced and no entry merged back, so the
// remap may be gone, or held with no guard: tell the user, then call
// FnRemapSessionEnd (or FnRemapSessionSuspend), which releases as it always
// does and, if that fails, starts the monitor again; FnRemapSessionResume
// starts it again too.
//
// Swift calls it FnRemapEventCode: the FnRemapKit module's own FnRemapEvent
// is the one a Swift application reads, whether or not it imports this one.
FNREMAPKIT_NAMED_ENUM(int32_t, FnRemapEvent, FnRemapEventCode) {
  FnRemapEventGuardReplaced = 1, // a new guard watches; FnRemapSessionGetGuardPID has its pid
  FnRemapEventReapplied = 2,     // a keyboard appeared without the entry, and it is back
  FnRemapEventRemoved = 3,       // the session no longer holds its entry (out, or kept for another session)
  FnRemapEventMonitorStopped = 4 // a step failed for 30 s: see FnRemapSessionGetMonitorStopReason
};

typedef void (*FnRemapEventHandler)(FnRemapSessionRef session, FnRemapEvent event, void *_Nullable context);

// Sets the handler that hears the session's events, with context passed to
// it, in place of any before; NULL hears nothing. The handler runs on the
// monitor's thread, never with the key mapping's lock held, one event at a
// time. It must not wait for the thread that ends the session: End waits
// for a running handler. From inside it, FnRemapSessionEnd fails with
// "called from the session's own event handler" and FnRemapSessionFree does
// nothing; FnRemapSessionGetGuardPID works. Once an FnRemapSessionEnd that
// restored, or FnRemapSessionFree, has returned, the handler is never
// called again; an End that failed keeps the guard and its monitor.
void FnRemapSessionSetEventHandler(FnRemapSessionRef _Nullable session, FnRemapEventHandler _Nullable handler,
                                   void *_Nullable context);

// Why the session's monitor last stopped on its own (FnRemapEventMonitorStopped):
// true, with the failure's code in *code and its line in reason; false,
// with FnRemapErrorNone and an empty line, when it never has. From inside
// the handler too. NULL code and reason are allowed.
bool FnRemapSessionGetMonitorStopReason(FnRemapSessionRef _Nullable session, FnRemapErrorCode *_Nullable code,
                                        char *_Nullable reason, size_t reasonSize);

// Ends the session's hold by the ledger's rules, as FnRemapSessionEnd does
// (the user's list comes back unless another session holds the same
// entry), but keeps the guard and the monitor; a suspended session writes
// nothing when a keyboard appears. For another user at the keyboard: the
// mapping is the whole machine's. Returns true once suspended (also when
// it was); false with what failed in error, the session as it was.
bool FnRemapSessionSuspend(FnRemapSessionRef _Nullable session, char *_Nullable error, size_t errorSize);

// Holds the entry again by FnRemapSessionBegin's rules (another live
// session's other destination for src is refused), first replacing a guard
// that ended while suspended. Returns true once held (also when not
// suspended); false with what failed in error, the session still suspended.
bool FnRemapSessionResume(FnRemapSessionRef _Nullable session, char *_Nullable error, size_t errorSize);

// FnRemapSessionSuspend and FnRemapSessionResume, with what failed as a
// code in *code as well (FnRemapErrorNone when done).
bool FnRemapSessionSuspendWithCode(FnRemapSessionRef _Nullable session, FnRemapErrorCode *_Nullable code,
                                   char *_Nullable error, size_t errorSize);
bool FnRemapSessionResumeWithCode(FnRemapSessionRef _Nullable session, FnRemapErrorCode *_Nullable code,
                                  char *_Nullable error, size_t errorSize);

// Ends a session not yet ended, as FnRemapSessionEnd does but trying the
// lock once, without waiting (the guard, kept when that fails, removes the
// entry when the application exits), and releases it; never more than
// about 1 s. NULL is allowed.
void FnRemapSessionFree(FnRemapSessionRef _Nullable session);

#if defined(__clang__)
#pragma clang assume_nonnull end
#pragma clang diagnostic pop
#endif

#ifdef __cplusplus
}
#endif

#endif
