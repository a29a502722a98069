// Real processes for the tests: children started, watched and always reaped,
// programs run with their output captured, and what the system shows of them.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <libproc.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace TestSupport {

inline std::string readFile(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

/// What \p command (a shell command line) prints on standard output.
inline std::string commandOutput(const std::string &command) {
  std::string output;
  if (FILE *pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      output.append(buffer, n);
    ::pclose(pipe);
  }
  return output;
}

inline void sleepFor(std::chrono::milliseconds duration) {
  const auto ns = std::chrono::nanoseconds(duration).count();
  const timespec pause{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  ::nanosleep(&pause, nullptr);
}

inline void sleepForever() {
  for (;;)
    ::pause();
}

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
  for (const auto end = std::chrono::steady_clock::now() + limit;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return status;
    if (std::chrono::steady_clock::now() > end)
      return std::nullopt;
    sleepFor(std::chrono::milliseconds(2));
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

  std::optional<int> statusWithin(std::chrono::milliseconds limit) {
    const auto status = TestSupport::statusWithin(id, limit);
    reaped = status.has_value();
    return status;
  }

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

/// Runs \p program with \p arguments (program name first), its output in
/// \p outputs/stdout and \p outputs/stderr. \p beforeExec runs in the child.
class ToolProcess : public Child {
public:
  ToolProcess(const std::string &program, const std::vector<std::string> &arguments,
              const std::filesystem::path &outputs, const std::function<void()> &beforeExec = {})
      : Child([&] {
          const int o = ::open((outputs / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
          const int e = ::open((outputs / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
          if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0)
            ::_exit(126);
          ::close(o);
          ::close(e);
          if (beforeExec)
            beforeExec();
          std::vector<char *> argv;
          for (const auto &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
          argv.push_back(nullptr);
          ::execv(program.c_str(), argv.data());
          ::_exit(127);
        }),
        outputs(outputs) {}

  std::string standardOutput() const { return readFile(outputs / "stdout"); }
  std::string standardError() const { return readFile(outputs / "stderr"); }

private:
  std::filesystem::path outputs;
};

/// Whether \p pid holds the descriptor the exit watch opens to wait: past
/// that point a signal reaches the wait itself.
inline bool isWatching(pid_t pid) {
#if defined(__APPLE__)
  proc_fdinfo fds[64];
  const int size = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, fds, sizeof fds);
  for (int i = 0; i < size / static_cast<int>(sizeof fds[0]); ++i)
    if (fds[i].proc_fdtype == PROX_FDTYPE_KQUEUE)
      return true;
#else
  std::error_code ignored;
  const auto fds = std::filesystem::path("/proc") / std::to_string(pid) / "fd";
  for (const auto &fd : std::filesystem::directory_iterator(fds, ignored))
    if (std::filesystem::read_symlink(fd.path(), ignored) == "anon_inode:[pidfd]")
      return true;
#endif
  return false;
}

/// Gives \p pid up to two seconds to start waiting on its parent.
inline void awaitWatching(pid_t pid) {
  for (int i = 0; i < 200 && !isWatching(pid); ++i)
    sleepFor(std::chrono::milliseconds(10));
}

} // namespace TestSupport
