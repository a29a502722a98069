// SPDX-License-Identifier: Apache-2.0
// exit-latency [--trials N] [--poll-trials N]
//
// Time from SIGKILL of a watched process to the return of
// FnGuard::waitForExit in another process, beside the kernel floor (waitpid
// in the killed process's own parent) and a kill-0 loop at a 1-second
// interval.
#include "Trials.hpp"

int main(int argc, char **argv) {
  const int trials = Bench::argument(argc, argv, "--trials", 200);
  const int pollTrials = Bench::argument(argc, argv, "--poll-trials", 20);

  const auto floor = Bench::measure("kernel floor (waitpid in parent)", trials, Bench::floorLatency);
  const auto watch = Bench::measure("FnGuard::waitForExit", trials, Bench::bareWaitLatency);
  std::mt19937 rng(7);
  const auto polling = Bench::measure("kill -0 loop, 1 s interval", pollTrials,
                                      [&] { return Bench::pollingLatency(rng); });
  Bench::printTable({floor, watch, polling}, floor);
  return 0;
}
