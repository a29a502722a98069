// tarnwick-fn-guard <parent-pid> <src-usage> <dst-usage>
//
// Waits for the parent to exit, then removes its key mapping entry from the
// HID event system, logs one record and exits: 0 when the entry is gone, 1
// when it could not be removed, 64 for a rejected command line.
#include "log/GuardLog.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include <signal.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

// The build names the application it logs for; a build that cannot (the
// Swift package) gets the library's own identifier.
#ifndef FNGUARD_LOG_SUBSYSTEM
#define FNGUARD_LOG_SUBSYSTEM "com.tarnwick.fnremap"
#endif

using namespace FnRemapKit;

namespace {

// The identifier a session hands us, where it is one: a reverse-DNS name,
// nothing that could pass for something else in a record.
const char *logSubsystem() {
  const char *given = std::getenv(FnGuard::logSubsystemVariable);
  const std::string_view name = given ? given : "";
  const bool wellFormed = !name.empty() && name.size() <= 255 && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
  });
  return wellFormed ? given : FNGUARD_LOG_SUBSYSTEM;
}

} // namespace

int main(int argc, char **argv) {
  // The parent may have started us with these ignored or blocked; we must
  // stay killable while we wait.
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGINT, SIG_DFL);
  sigset_t stoppers;
  sigemptyset(&stoppers);
  sigaddset(&stoppers, SIGTERM);
  sigaddset(&stoppers, SIGINT);
  sigprocmask(SIG_UNBLOCK, &stoppers, nullptr);
  // One that stopped listening for our report must not end us.
  std::signal(SIGPIPE, SIG_IGN);

  FnGuardTool::GuardLog log(logSubsystem());

  const std::vector<std::string_view> arguments(argv, argv + argc);
  const auto parsed = FnGuardArguments::parse(arguments);
  if (!parsed) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(FnGuardArguments::usage.size()),
                 FnGuardArguments::usage.data());
    return 64;
  }

  const auto outcome = FnGuard::runGuard(*parsed);
  switch (outcome.kind()) {
  case FnGuardOutcome::Kind::removed:
    log.removed(parsed->parent());
    return 0;
  case FnGuardOutcome::Kind::alreadyGone:
    log.alreadyGone(parsed->parent());
    return 0;
  case FnGuardOutcome::Kind::kept:
    return 0;
  case FnGuardOutcome::Kind::failed:
    break;
  }
  log.failed(parsed->parent(), outcome.message().c_str());
  return 1;
}
