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
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

/// What the shell command line \p command prints on standard output.
inline std::string commandOutput(const std::string &command) {
  std::string output;
  FILE *pipe = ::popen(command.c_str(), "r");
  for (int c; pipe && (c = std::fgetc(pipe)) != EOF;)
    output += static_cast<char>(c);
  if (pipe)
    ::pclose(pipe);
  return output;
}

inline void sleepFor(std::chrono::milliseconds duration) {
  const timespec pause{static_cast<time_t>(duration.count() / 1000), static_cast<long>(duration.count() % 1000) * 1'000'000};
  ::nanosleep(&pause, nullptr);
}

inline void sleepForever() {
  for (;;)
    ::pause();
}

/// A wait status as a shell shows it: the exit status, 128 plus the signal
/// for a killed process, -1 for one that has not ended.
inline int exitStatus(std::optional<int> status) {
  return !status ? -1 : WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

/// The wait status of child \p pid once it has ended, or nothing when it has
/// not within \p limit. A pid that is not (yet) our child counts as running.
inline std::optional<int> statusWithin(pid_t pid, std::chrono::milliseconds limit) {
  int status = 0;
  for (const auto end = std::chrono::steady_clock::now() + limit; ::waitpid(pid, &status, WNOHANG) != pid;
       sleepFor(std::chrono::milliseconds(2)))
    if (std::chrono::steady_clock::now() > end)
      return std::nullopt;
  return status;
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
    if (id > 0 && !reaped && ::kill(id, SIGKILL) == 0)
      ::waitpid(id, nullptr, 0);
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
          const int out = ::open((outputs / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
          const int err = ::open((outputs / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
          if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 || ::close(out) || ::close(err))
            ::_exit(126);
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

/// Gives \p pid up to two seconds to open the descriptor the exit watch
/// waits on (a kernel queue, a process descriptor): past that point a
/// signal reaches the wait itself.
inline void awaitWatching(pid_t pid) {
  for (int i = 0; i < 200; ++i, sleepFor(std::chrono::milliseconds(10))) {
#if defined(__APPLE__)
    proc_fdinfo fds[64];
    const int size = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, fds, sizeof fds);
    for (int fd = 0; fd < size / static_cast<int>(sizeof fds[0]); ++fd)
      if (fds[fd].proc_fdtype == PROX_FDTYPE_KQUEUE)
        return;
#else
    std::error_code ignored;
    for (const auto &fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored))
      if (std::filesystem::read_symlink(fd.path(), ignored) == "anon_inode:[pidfd]")
        return;
#endif
  }
}

} // namespace TestSupport
