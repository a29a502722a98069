// Real child processes for the tests: started, watched and always reaped.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>

namespace TestSupport {

/// A wait status as a shell shows it: the exit status, 128 plus the signal
/// for a killed process, -1 for one that has not ended.
inline int exitStatus(std::optional<int> status) {
  if (!status)
    return -1;
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

/// The wait status of child \p pid once it has ended, or nothing when it has
/// not within \p limit. A pid that is not (yet) our child counts as running.
inline std::optional<int> statusWithin(pid_t pid, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return status;
    if (std::chrono::steady_clock::now() > end)
      return std::nullopt;
    const timespec pause{0, 2'000'000};
    ::nanosleep(&pause, nullptr);
  }
}

/// A forked child running \p body, then _exit(0). Killed and reaped when the
/// owner goes, so no test leaves a process behind.
class Child {
public:
  explicit Child(const std::function<void()> &body) : id(::fork()) {
    if (id == 0) {
      body();
      ::_exit(0);
    }
  }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  ~Child() {
    if (id > 0 && !reaped) {
      ::kill(id, SIGKILL);
      ::waitpid(id, nullptr, 0);
    }
  }
  pid_t pid() const { return id; }

  /// The wait status once the child has ended, or nothing when it has not
  /// within \p limit.
  std::optional<int> statusWithin(std::chrono::milliseconds limit);

  /// Kills the child and leaves it a zombie: not reaped.
  void killAndLeaveZombie() {
    ::kill(id, SIGKILL);
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(id), &info, WEXITED | WNOWAIT);
  }

private:
  pid_t id;
  bool reaped = false;
};

inline std::optional<int> Child::statusWithin(std::chrono::milliseconds limit) {
  const auto status = TestSupport::statusWithin(id, limit);
  reaped = status.has_value();
  return status;
}

inline void sleepForever() {
  for (;;)
    ::pause();
}

inline void sleepFor(std::chrono::milliseconds duration) {
  const auto ns = std::chrono::nanoseconds(duration).count();
  const timespec pause{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  ::nanosleep(&pause, nullptr);
}

} // namespace TestSupport
