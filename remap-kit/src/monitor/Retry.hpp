// SPDX-License-Identifier: Apache-2.0
//===- monitor/Retry.hpp - How long the monitor tries a step that fails ---===//
//
// A step of the monitor's that fails (the lock held elsewhere, a list that
// cannot be read, no descriptor to be had) is tried again each second, for
// 30 s at most after its first failure: long enough for a writer that holds
// the lock or a shortage that passes, short enough that the application
// hears of one that does not.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "SessionMonitor.hpp"

#include <algorithm>
#include <chrono>
#include <optional>

namespace FnRemapKit::Monitor {

class Retry {
public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds pause{1000};
  static constexpr std::chrono::seconds limit{30};

  /// Notes a failure now; false once failures have gone on for limit.
  bool failed() noexcept {
    last = Clock::now();
    if (!first)
      first = last;
    return *last - *first < limit;
  }

  /// Forgets the failures: the step was done, or is no longer wanted.
  void reset() noexcept { first = last = std::nullopt; }

  /// Whether a failure waits to be tried again.
  bool pending() const noexcept { return last.has_value(); }

  /// How long until the next try; zero once it is due, or with none pending.
  std::chrono::milliseconds untilNext() const noexcept {
    if (!last)
      return std::chrono::milliseconds{0};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*last + pause - Clock::now());
    return std::max(left, std::chrono::milliseconds{0});
  }

  /// Waits until the next try is due; false once stop() is called.
  bool wait(SessionMonitor &running) const noexcept { return running.waitFor({}, untilNext()).has_value(); }

private:
  std::optional<Clock::time_point> first, last;
};

} // namespace FnRemapKit::Monitor
