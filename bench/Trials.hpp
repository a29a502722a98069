// SPDX-License-Identifier: Apache-2.0
// Timing of "kill a process, see something happen in another process",
// shared by the latency benchmarks. Each observer runs in a child process,
// blocks in its own way until the target is gone, and reports the moment it
// woke through a pipe; the time from SIGKILL to that moment is one sample.
#pragma once

#include "FnRemapKit/FnGuard.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace Bench {

inline long long nowNanoseconds() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

inline void pauseMs(int ms) {
  const timespec t{ms / 1000, (ms % 1000) * 1'000'000L};
  ::nanosleep(&t, nullptr);
}

inline void reportTo(int fd, long long value) {
  if (::write(fd, &value, sizeof value) != sizeof value)
    ::_exit(1);
}

inline long long readFrom(int fd) {
  long long value = -1;
  if (::read(fd, &value, sizeof value) != sizeof value) {
    std::fprintf(stderr, "an observer died without reporting\n");
    std::exit(1);
  }
  return value;
}

inline pid_t spawn(const std::function<void()> &body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  return pid;
}

inline pid_t spawnSleeper() {
  return spawn([] {
    for (;;)
      ::pause();
  });
}

/// One sample: \p observe(target, reportFd) runs in a child and must write
/// the moment it saw the target gone. The target is reaped right after the
/// kill, as a real parent would, so that a pid probe can see it vanish.
inline long long observedLatency(const std::function<void(pid_t, int)> &observe,
                                 int settleMs = 10) {
  int report[2];
  if (::pipe(report) != 0)
    std::exit(1);
  const pid_t target = spawnSleeper();
  const pid_t observer = spawn([&] { observe(target, report[1]); });
  pauseMs(settleMs);
  const long long killed = nowNanoseconds();
  ::kill(target, SIGKILL);
  ::waitpid(target, nullptr, 0);
  const long long seen = readFrom(report[0]);
  ::waitpid(observer, nullptr, 0);
  ::close(report[0]);
  ::close(report[1]);
  return seen - killed;
}

/// The kernel floor: the killed process's own parent, blocked in waitpid.
inline long long floorLatency() {
  int report[2];
  if (::pipe(report) != 0)
    std::exit(1);
  const pid_t parent = spawn([&] {
    const pid_t target = spawnSleeper();
    reportTo(report[1], target);
    ::waitpid(target, nullptr, 0);
    reportTo(report[1], nowNanoseconds());
  });
  const auto target = static_cast<pid_t>(readFrom(report[0]));
  pauseMs(10);
  const long long killed = nowNanoseconds();
  ::kill(target, SIGKILL);
  const long long seen = readFrom(report[0]);
  ::waitpid(parent, nullptr, 0);
  ::close(report[0]);
  ::close(report[1]);
  return seen - killed;
}

/// The way common shell tools wait for a pid: probe it once a second.
inline void pollOncePerSecond(pid_t target) {
  while (::kill(target, 0) == 0)
    ::sleep(1);
}

/// One sample of the bare FnGuard::waitForExit, in a process of its own.
inline long long bareWaitLatency() {
  return observedLatency([](pid_t target, int report) {
    FnRemapKit::FnGuard::waitForExit(target);
    reportTo(report, nowNanoseconds());
  });
}

/// One sample of the 1-second poller; the kill lands at a random point of
/// its second, as it would.
inline long long pollingLatency(std::mt19937 &rng) {
  return observedLatency([](pid_t target, int report) {
    pollOncePerSecond(target);
    reportTo(report, nowNanoseconds());
  }, 10 + int(rng() % 1000));
}

struct Summary {
  std::string name;
  std::vector<long long> samples;
  double percentile(double p) const {
    auto sorted = samples;
    std::sort(sorted.begin(), sorted.end());
    const auto index = static_cast<std::size_t>(p * double(sorted.size() - 1) + 0.5);
    return double(sorted[index]) / 1000.0; // microseconds
  }
};

inline Summary measure(std::string name, int trials, const std::function<long long()> &sample) {
  Summary summary{std::move(name), {}};
  for (int i = 0; i < trials; ++i)
    summary.samples.push_back(sample());
  return summary;
}

inline void printTable(const std::vector<Summary> &rows, const Summary &floor) {
  std::printf("%-34s %7s %12s %12s %10s %10s\n", "", "trials", "p50 (us)", "p99 (us)",
              "p50/floor", "p99/floor");
  for (const auto &row : rows)
    std::printf("%-34s %7zu %12.1f %12.1f %9.2fx %9.2fx\n", row.name.c_str(), row.samples.size(),
                row.percentile(0.5), row.percentile(0.99),
                row.percentile(0.5) / floor.percentile(0.5),
                row.percentile(0.99) / floor.percentile(0.99));
}

inline int argument(int argc, char **argv, const char *name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == name)
      return std::atoi(argv[i + 1]);
  return fallback;
}

} // namespace Bench
