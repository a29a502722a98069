// SPDX-License-Identifier: Apache-2.0
// The C interface over FnRemapSession: no C++ type crosses it and nothing
// thrown leaves it.
#include "FnRemapKit/FnRemapKit.h"

#include "FnRemapKit/FnRemapSession.hpp"
#include "SessionErrors.hpp"

#include <cstdio>
#include <iterator>
#include <exception>
#include <utility>

using namespace FnRemapKit;

struct FnRemapSessionData {
  FnRemapSession session;
};

namespace {

void putError(char *buffer, size_t size, const char *text) {
  if (buffer && size > 0)
    std::snprintf(buffer, size, "%s", text);
}

using Code = FnRemapSessionError::Code;

// The C enum and the library's table, number for number; the header's names
// are held to the table's by a test.
static_assert(std::size(SessionErrors::codes) == FnRemapErrorCalledFromEventHandler + 1);
static_assert(static_cast<int>(Code::calledFromEventHandler) == FnRemapErrorCalledFromEventHandler);

void putCode(FnRemapErrorCode *code, Code value) {
  if (code)
    *code = static_cast<FnRemapErrorCode>(value);
}

void putFailure(FnRemapErrorCode *code, char *error, size_t errorSize, SessionErrors::Message message) {
  putCode(code, SessionErrors::codeOf(message));
  putError(error, errorSize, SessionErrors::text(message).c_str());
}

// Suspend and resume, which report as end does.
template <typename Change>
bool changeWithCode(FnRemapSessionRef session, Change change, FnRemapErrorCode *code, char *error,
                    size_t errorSize) {
  if (!session) {
    putFailure(code, error, errorSize, SessionErrors::Message::noSession);
    return false;
  }
  const FnRemapSession::Ending done = change(session->session);
  putCode(code, done.code);
  if (!done.restored)
    putError(error, errorSize, done.message.c_str());
  return done.restored;
}

} // namespace

extern "C" {

const int64_t FnRemapFnSource = FnRemapMapping::fnSource;
const int64_t FnRemapFnVendorKeyboardSource = FnRemapMapping::fnVendorKeyboardSource;
const int64_t FnRemapFnDestination = FnRemapMapping::fnDestination;
const uint16_t FnRemapFnDestinationKeyCode = FnRemapMapping::fnDestinationKeyCode;

static_assert(FnRemapEventGuardReplaced == static_cast<int>(FnRemapSession::Event::guardReplaced) &&
              FnRemapEventReapplied == static_cast<int>(FnRemapSession::Event::reapplied) &&
              FnRemapEventRemoved == static_cast<int>(FnRemapSession::Event::removed) &&
              FnRemapEventMonitorStopped == static_cast<int>(FnRemapSession::Event::monitorStopped));

FnRemapSessionRef FnRemapSessionBegin(const char *guardPath, int64_t src, int64_t dst,
                                      char *error, size_t errorSize) {
  return FnRemapSessionBeginWithCode(guardPath, src, dst, nullptr, error, errorSize);
}

FnRemapSessionRef FnRemapSessionBeginWithCode(const char *guardPath, int64_t src, int64_t dst,
                                              FnRemapErrorCode *code, char *error, size_t errorSize) {
  if (!guardPath) {
    putFailure(code, error, errorSize, SessionErrors::Message::noGuardPath);
    return nullptr;
  }
  // What else can throw (no memory, say) happens before the session began.
  putCode(code, Code::guardNotStarted);
  try {
    auto *session = new FnRemapSessionData{FnRemapSession::begin(guardPath, FnRemapMapping::entry(src, dst))};
    putCode(code, Code::none);
    return session;
  } catch (const FnRemapSessionError &failure) {
    putCode(code, failure.code());
    putError(error, errorSize, failure.what());
  } catch (const std::exception &failure) {
    putError(error, errorSize, failure.what());
  } catch (...) {
    putError(error, errorSize, "unknown error");
  }
  return nullptr;
}

bool FnRemapSessionEnd(FnRemapSessionRef session, char *error, size_t errorSize) {
  return FnRemapSessionEndWithCode(session, nullptr, error, errorSize);
}

bool FnRemapSessionEndWithCode(FnRemapSessionRef session, FnRemapErrorCode *code, char *error,
                               size_t errorSize) {
  if (!session) {
    putFailure(code, error, errorSize, SessionErrors::Message::noSession);
    return false;
  }
  const auto ending = session->session.end();
  putCode(code, ending.code);
  if (!ending.restored)
    putError(error, errorSize, ending.message.c_str());
  return ending.restored;
}

bool FnRemapSessionSuspend(FnRemapSessionRef session, char *error, size_t errorSize) {
  return FnRemapSessionSuspendWithCode(session, nullptr, error, errorSize);
}

bool FnRemapSessionSuspendWithCode(FnRemapSessionRef session, FnRemapErrorCode *code, char *error,
                                   size_t errorSize) {
  return changeWithCode(session, [](FnRemapSession &held) { return held.suspend(); }, code, error, errorSize);
}

bool FnRemapSessionResume(FnRemapSessionRef session, char *error, size_t errorSize) {
  return FnRemapSessionResumeWithCode(session, nullptr, error, errorSize);
}

bool FnRemapSessionResumeWithCode(FnRemapSessionRef session, FnRemapErrorCode *code, char *error,
                                  size_t errorSize) {
  return changeWithCode(session, [](FnRemapSession &held) { return held.resume(); }, code, error, errorSize);
}

pid_t FnRemapSessionGetGuardPID(FnRemapSessionRef session) {
  return session ? session->session.guardPid() : 0;
}

void FnRemapSessionSetEventHandler(FnRemapSessionRef session, FnRemapEventHandler handler, void *context) {
  if (!session)
    return;
  if (!handler) {
    session->session.onEvent({});
    return;
  }
  session->session.onEvent([session, handler, context](FnRemapSession::Event event) {
    handler(session, static_cast<FnRemapEvent>(event), context);
  });
}

bool FnRemapSessionGetMonitorStopReason(FnRemapSessionRef session, FnRemapErrorCode *code, char *reason,
                                        size_t reasonSize) {
  putCode(code, Code::none);
  putError(reason, reasonSize, "");
  try {
    const auto stop = session ? session->session.monitorStopReason() : std::nullopt;
    if (!stop)
      return false;
    putCode(code, stop->code);
    putError(reason, reasonSize, stop->message.c_str());
    return true;
  } catch (...) {
    return false; // no memory for the line
  }
}

// From the monitor's own thread, which cannot wait for itself, the session
// is left for a later call from elsewhere.
void FnRemapSessionFree(FnRemapSessionRef session) {
  if (session && !session->session.isCallingFromEventHandler())
    delete session;
}

} // extern "C"
