// SPDX-License-Identifier: Apache-2.0
// tarnwick-fn-guard <parent-pid> <src-usage> <dst-usage>
//
// Waits for the parent to exit, or for a stop signal from anyone but the
// parent, then removes its key mapping entry from the HID event system, logs
// one record and exits: 0 when the entry is gone (or kept for another
// application), 1 when it could not be removed or when it reported that it
// cannot reach the key mapping, 64 for a rejected command line. The parent's
// own stop signal ends it by the signal's default action, with no record.
#include "log/GuardLog.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

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

// The one record of a run that released.
void record(FnGuardTool::GuardLog &log, std::int32_t parent, const FnGuard::GuardRun &run) {
  const FnGuardOutcome &outcome = run.outcome;
  using Kind = FnGuardOutcome::Kind;
  if (const auto &stop = run.stoppedBy) {
    switch (outcome.kind()) {
    case Kind::removed:
      return log.removedOnSignal(stop->number, stop->sender);
    case Kind::alreadyGone:
      return log.alreadyGoneOnSignal(stop->number, stop->sender);
    case Kind::kept:
      return log.keptOnSignal(stop->number, stop->sender, outcome.holder());
    case Kind::failed:
      return log.failedOnSignal(stop->number, stop->sender, outcome.message().c_str());
    }
  }
  switch (outcome.kind()) {
  case Kind::removed:
    return log.removed(parent);
  case Kind::alreadyGone:
    return log.alreadyGone(parent);
  case Kind::kept:
    return log.kept(parent, outcome.holder());
  case Kind::failed:
    return log.failed(parent, outcome.message().c_str());
  }
}

} // namespace

int main(int argc, char **argv) {
  // One that stopped listening for our report must not end us. The stop
  // signals are runGuard's: caught, and unblocked whatever the parent left.
  std::signal(SIGPIPE, SIG_IGN);

  FnGuardTool::GuardLog log(logSubsystem());

  const std::vector<std::string_view> arguments(argv, argv + argc);
  const auto parsed = FnGuardArguments::parse(arguments);
  if (!parsed) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(FnGuardArguments::usage.size()),
                 FnGuardArguments::usage.data());
    return 64;
  }

  // The application reports why we could not start; a record would only
  // repeat it.
  const auto run = FnGuard::runGuard(
      *parsed, [&](const FnGuard::GuardRun &ended) { record(log, parsed->parent(), ended); });
  // At once: nothing is left to flush, and the application, which learns
  // the reason from the pipe, may stop us meanwhile.
  if (run.notReady)
    std::_Exit(1);
  return run.outcome.kind() == FnGuardOutcome::Kind::failed ? 1 : 0;
}
