// SPDX-License-Identifier: Apache-2.0
// session-cycle [--trials N]
//
// What a session costs an application: one FnRemapSession::begin() and
// end() on the stand-in (start the guard, wait for its report, lock, read,
// write; lock, read, write, end the guard), beside a bare posix_spawn of the
// guard, SIGTERM and waitpid, and beside the ready cycle of the least guard
// there could be (ready-guard: a static C program that holds its parent and
// says it watches): started the way a session starts its guard, its word
// awaited, then ended as a session ends it. All three are measured in this
// run, one trial of each in turn, so that a busy moment of the machine
// weighs on each alike. The stand-in's state goes to $XDG_RUNTIME_DIR (a
// tmpfs), else /dev/shm.
#include "Trials.hpp"
#include "process/ChildProcess.hpp"
#include "process/GuardLaunch.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

extern char **environ;

namespace {

long long bareSpawn() {
  std::string arguments[] = {FNGUARD_TOOL, std::to_string(::getpid()), "0xFF00000003", "0x70000006E"};
  char *argv[] = {arguments[0].data(), arguments[1].data(), arguments[2].data(), arguments[3].data(), nullptr};
  const long long start = Bench::nowNanoseconds();
  pid_t guard = 0;
  if (::posix_spawn(&guard, FNGUARD_TOOL, nullptr, nullptr, argv, environ) != 0)
    std::exit(1);
  ::kill(guard, SIGTERM);
  ::waitpid(guard, nullptr, 0);
  return Bench::nowNanoseconds() - start;
}

long long sessionCycle() {
  using namespace FnRemapKit;
  const long long start = Bench::nowNanoseconds();
  auto session = FnRemapSession::begin(FNGUARD_TOOL, FnRemapMapping::entry(FnRemapMapping::fnSource,
                                                                           FnRemapMapping::fnDestination));
  if (!session.end().restored)
    std::exit(1);
  return Bench::nowNanoseconds() - start;
}

/// The session's own launch (pipe, spawn attributes, environment, the
/// wait for "\n") and its own ending of the guard, around ready-guard.
long long readyCycle() {
  using namespace FnRemapKit;
  const long long start = Bench::nowNanoseconds();
  Process::ChildProcess guard;
  try {
    const auto report =
        Process::launchGuard(guard, READY_GUARD, FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "%s\n", error.what());
    std::exit(1);
  }
  guard.terminate(Process::endBound);
  return Bench::nowNanoseconds() - start;
}

} // namespace

int main(int argc, char **argv) {
  const int trials = Bench::argument(argc, argv, "--trials", 200);
  std::string pattern = std::string(::getenv("XDG_RUNTIME_DIR") ? ::getenv("XDG_RUNTIME_DIR") : "/dev/shm") +
                        "/session-cycle.XXXXXX";
  if (!::mkdtemp(pattern.data()))
    return 1;
  ::setenv("TARNWICK_HID_STATE_DIR", (pattern + "/hid").c_str(), 1);

  Bench::Summary bare{"posix_spawn + SIGTERM + waitpid", {}};
  Bench::Summary cycle{"FnRemapSession begin + end", {}};
  Bench::Summary ready{"ready-guard launch + end", {}};
  for (int i = 0; i < trials; ++i) {
    bare.samples.push_back(bareSpawn());
    cycle.samples.push_back(sessionCycle());
    ready.samples.push_back(readyCycle());
  }
  std::printf("%-34s %7s %12s %12s\n", "", "trials", "p50 (us)", "p90 (us)");
  for (const auto &row : {bare, cycle, ready})
    std::printf("%-34s %7zu %12.1f %12.1f\n", row.name.c_str(), row.samples.size(), row.percentile(0.5),
                row.percentile(0.9));
  std::printf("session / bare spawn: p50 %.2fx, p90 %.2fx\n", cycle.percentile(0.5) / bare.percentile(0.5),
              cycle.percentile(0.9) / bare.percentile(0.9));
  std::printf("session / ready-guard: p50 %.2fx, p90 %.2fx\n", cycle.percentile(0.5) / ready.percentile(0.5),
              cycle.percentile(0.9) / ready.percentile(0.9));
  std::filesystem::remove_all(pattern);
  return 0;
}
