// exit-latency [--trials N] [--poll-trials N]
//
// Time from SIGKILL of a watched process to the return of
// FnGuard::waitForExit in another process, beside the kernel floor (waitpid
// in the killed process's own parent) and a kill-0 loop at a 1-second
// interval.
#include "FnRemapKit/FnGuard.hpp"

#include "Trials.hpp"

#include <random>

int main(int argc, char **argv) {
  const int trials = Bench::argument(argc, argv, "--trials", 200);
  const int pollTrials = Bench::argument(argc, argv, "--poll-trials", 20);

  const auto floor = Bench::measure("kernel floor (waitpid in parent)", trials, Bench::floorLatency);
  const auto watch = Bench::measure("FnGuard::waitForExit", trials, [] {
    return Bench::observedLatency([](pid_t target, int report) {
      FnRemapKit::FnGuard::waitForExit(target);
      Bench::reportTo(report, Bench::nowNanoseconds());
    });
  });
  // The kill lands at a random point of the poller's second, as it would.
  std::mt19937 rng(7);
  const auto polling = Bench::measure("kill -0 loop, 1 s interval", pollTrials, [&] {
    return Bench::observedLatency([](pid_t target, int report) {
      Bench::pollOncePerSecond(target);
      Bench::reportTo(report, Bench::nowNanoseconds());
    }, 10 + int(rng() % 1000));
  });
  Bench::printTable({floor, watch, polling}, floor);
  return 0;
}
