// The C interface over FnRemapSession: no C++ type crosses it and nothing
// thrown leaves it.
#include "FnRemapKit/FnRemapKit.h"

#include "FnRemapKit/FnRemapSession.hpp"

#include <cstdio>
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

} // namespace

extern "C" {

const int64_t FnRemapFnSource = FnRemapMapping::fnSource;
const int64_t FnRemapFnDestination = FnRemapMapping::fnDestination;
const uint16_t FnRemapFnDestinationKeyCode = FnRemapMapping::fnDestinationKeyCode;

static_assert(FnRemapEventGuardReplaced == static_cast<int>(FnRemapSession::Event::guardReplaced) &&
              FnRemapEventReapplied == static_cast<int>(FnRemapSession::Event::reapplied) &&
              FnRemapEventRemoved == static_cast<int>(FnRemapSession::Event::removed));

FnRemapSessionRef FnRemapSessionBegin(const char *guardPath, int64_t src, int64_t dst,
                                      char *error, size_t errorSize) {
  if (!guardPath) {
    putError(error, errorSize, "no guard path");
    return nullptr;
  }
  try {
    return new FnRemapSessionData{FnRemapSession::begin(guardPath, FnRemapMapping::entry(src, dst))};
  } catch (const std::exception &failure) {
    putError(error, errorSize, failure.what());
  } catch (...) {
    putError(error, errorSize, "unknown error");
  }
  return nullptr;
}

bool FnRemapSessionEnd(FnRemapSessionRef session, char *error, size_t errorSize) {
  if (!session) {
    putError(error, errorSize, "no session");
    return false;
  }
  const auto ending = session->session.end();
  if (!ending.restored)
    putError(error, errorSize, ending.message.c_str());
  return ending.restored;
}

bool FnRemapSessionSuspend(FnRemapSessionRef session, char *error, size_t errorSize) {
  if (!session) {
    putError(error, errorSize, "no session");
    return false;
  }
  const auto change = session->session.suspend();
  if (!change.restored)
    putError(error, errorSize, change.message.c_str());
  return change.restored;
}

bool FnRemapSessionResume(FnRemapSessionRef session, char *error, size_t errorSize) {
  if (!session) {
    putError(error, errorSize, "no session");
    return false;
  }
  const auto change = session->session.resume();
  if (!change.restored)
    putError(error, errorSize, change.message.c_str());
  return change.restored;
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

// From the monitor's own thread, which cannot wait for itself, the session
// is left for a later call from elsewhere.
void FnRemapSessionFree(FnRemapSessionRef session) {
  if (session && !session->session.isCallingFromEventHandler())
    delete session;
}

} // extern "C"
