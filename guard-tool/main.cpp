// tarnwick-fn-guard <parent-pid> <src-usage> <dst-usage>
//
// Waits for the parent to exit, then removes its key mapping entry from the
// HID event system, logs one record and exits: 0 when the entry is gone, 1
// when it could not be removed, 64 for a rejected command line.
#include "log/GuardLog.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include <signal.h>

#include <csignal>
#include <cstdio>
#include <vector>

// The build names the application it logs for; a build that cannot (the
// Swift package) gets the library's own identifier.
#ifndef FNGUARD_LOG_SUBSYSTEM
#define FNGUARD_LOG_SUBSYSTEM "com.tarnwick.fnremap"
#endif

using namespace FnRemapKit;

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

  FnGuardTool::GuardLog log(FNGUARD_LOG_SUBSYSTEM);

  const std::vector<std::string_view> arguments(argv, argv + argc);
  const auto parsed = FnGuardArguments::parse(arguments);
  if (!parsed) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(FnGuardArguments::usage.size()),
                 FnGuardArguments::usage.data());
    return 64;
  }

  const auto outcome = FnGuard::run(*parsed, HIDKeyMappingStore(), FnGuard::waitForExit);
  switch (outcome.kind()) {
  case FnGuardOutcome::Kind::removed:
    log.removed(parsed->parent());
    return 0;
  case FnGuardOutcome::Kind::alreadyGone:
    log.alreadyGone(parsed->parent());
    return 0;
  case FnGuardOutcome::Kind::failed:
    break;
  }
  log.failed(parsed->parent(), outcome.message().c_str());
  return 1;
}
