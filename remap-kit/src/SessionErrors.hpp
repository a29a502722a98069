// SPDX-License-Identifier: Apache-2.0
//===- SessionErrors.hpp - What a session's caller is told ----------------===//
//
// Every line a session's caller can read, with its code, in one table: the
// C interface's enum, the Swift layer's and the documentation follow it, and
// a test holds the C header to it.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "FnRemapKit/FnRemapSession.hpp"

#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

namespace FnRemapKit::SessionErrors {

using Code = FnRemapSessionError::Code;

/// Each code with the name the C interface gives it after "FnRemapError".
/// movedFrom is what a C++ caller meets; a C caller meets it as a session
/// that is NULL.
struct CodeRow {
  Code code;
  std::string_view name;
};

inline constexpr CodeRow codes[] = {
    {Code::none, "None"},
    {Code::guardNotStarted, "GuardNotStarted"},
    {Code::guardNotWatching, "GuardNotWatching"},
    {Code::guardCannotReach, "GuardCannotReach"},
    {Code::locked, "Locked"},
    {Code::lockRefused, "LockRefused"},
    {Code::readFailed, "ReadFailed"},
    {Code::writeRefused, "WriteRefused"},
    {Code::stillRemapped, "StillRemapped"},
    {Code::keyRemappedByOther, "KeyRemappedByOther"},
    {Code::newerLedger, "NewerLedger"},
    {Code::holdsNotWritten, "HoldsNotWritten"},
    {Code::otherProcess, "OtherProcess"},
    {Code::movedFrom, "NoSession"},
    {Code::calledFromEventHandler, "CalledFromEventHandler"},
};

enum class Message {
  noGuardPath,
  cannotStart,
  exitedEarly,
  silent,
  endedEarly,
  notNeeded,
  cannotReach,
  locked,
  lockRefused,
  cannotRead,
  installRefused,
  restoreRefused,
  stillRemapped,
  remappedByOther,
  newerLedger,
  holdsNotKept,
  otherProcess,
  movedFrom,
  noSession,
  fromEventHandler,
};

/// A message's code and its words; each "{}" takes the next part given.
struct MessageRow {
  Message message;
  Code code;
  std::string_view pattern;
};

inline constexpr MessageRow messages[] = {
    {Message::noGuardPath, Code::guardNotStarted, "cannot start the guard: no guard path"},
    {Message::cannotStart, Code::guardNotStarted, "cannot start the guard at {}: {}"},
    {Message::exitedEarly, Code::guardNotWatching, "the guard at {} exited before it was watching{}"},
    {Message::silent, Code::guardNotWatching, "the guard at {} did not report that it was watching within {}"},
    {Message::endedEarly, Code::guardNotWatching, "the guard at {} ended before the remap was installed"},
    {Message::notNeeded, Code::guardNotWatching, "the guard at {} was no longer needed before it was watching"},
    {Message::cannotReach, Code::guardCannotReach, "the guard at {} cannot reach the key mapping: {}"},
    {Message::locked, Code::locked, "the key mapping is locked by another process"},
    {Message::lockRefused, Code::lockRefused, "cannot lock the key mapping: {}"},
    {Message::cannotRead, Code::readFailed, "cannot read the key mapping: {}"},
    {Message::installRefused, Code::writeRefused, "the HID system refused the remap"},
    {Message::restoreRefused, Code::writeRefused, "the HID system refused the restored list"},
    {Message::stillRemapped, Code::stillRemapped, "the restored key mapping still holds the remap"},
    {Message::remappedByOther, Code::keyRemappedByOther, "the key {} is remapped by process {}"},
    {Message::newerLedger, Code::newerLedger, "the key mapping's holds are kept by a newer FnRemapKit"},
    {Message::holdsNotKept, Code::holdsNotWritten, "cannot keep the key mapping's holds: {}"},
    {Message::otherProcess, Code::otherProcess, "the session belongs to process {}, not to this one"},
    {Message::movedFrom, Code::movedFrom, "the session holds no remap: it was moved from"},
    {Message::noSession, Code::movedFrom, "no session"},
    {Message::fromEventHandler, Code::calledFromEventHandler, "called from the session's own event handler"},
};

/// The message's line with \p parts in its places.
std::string text(Message message, std::initializer_list<std::string_view> parts = {});

Code codeOf(Message message) noexcept;

/// The error to throw, or an end()'s failure.
FnRemapSessionError error(Message message, std::initializer_list<std::string_view> parts = {});
FnRemapSession::Ending ending(Message message, std::initializer_list<std::string_view> parts = {});

/// Why the store's read failed, as a sentence: the store's own errors name
/// themselves for programs (the guard's log keeps those names), a caller is
/// told what they mean.
std::string readReason(std::exception_ptr failure);

/// A lock not had, told as a session's failure.
FnRemapSession::Ending lockFailure(bool busy, const std::string &why);

/// What a step that threw leaves its caller: the error's own code, or for
/// anything else (no memory, say) \p otherwise. Only inside a catch.
FnRemapSession::Ending failure(Code otherwise);

} // namespace FnRemapKit::SessionErrors
