// The real guard binary run as a child of the test, its standard output and
// error captured in files, and a syslog receiver the test owns.
#pragma once

#include "Files.hpp"
#include "Processes.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace TestSupport {

/// Runs \p program with \p arguments (program name first) and its output in
/// \p outputs/stdout and \p outputs/stderr. \p beforeExec runs in the child.
class ToolProcess {
public:
  ToolProcess(const std::string &program, const std::vector<std::string> &arguments,
              const std::filesystem::path &outputs, const std::function<void()> &beforeExec = {})
      : out(outputs / "stdout"), err(outputs / "stderr"), child([&] {
          const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
          const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
          if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0)
            ::_exit(126);
          if (beforeExec)
            beforeExec();
          std::vector<char *> argv;
          for (const auto &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
          argv.push_back(nullptr);
          ::execv(program.c_str(), argv.data());
          ::_exit(127);
        }) {}

  pid_t pid() const { return child.pid(); }
  std::optional<int> statusWithin(std::chrono::milliseconds limit) { return child.statusWithin(limit); }
  std::string standardOutput() const { return readFile(out); }
  std::string standardError() const { return readFile(err); }

private:
  std::filesystem::path out, err;
  Child child;
};

/// Whether \p pid holds a process descriptor, which the guard opens only to
/// wait on its parent: past this point a signal reaches the wait itself.
inline bool holdsProcessDescriptor(pid_t pid) {
  std::error_code ignored;
  const auto fds = std::filesystem::path("/proc") / std::to_string(pid) / "fd";
  for (const auto &fd : std::filesystem::directory_iterator(fds, ignored))
    if (std::filesystem::read_symlink(fd.path(), ignored) == "anon_inode:[pidfd]")
      return true;
  return false;
}

/// Gives \p pid up to two seconds to start waiting on its parent. Off
/// process descriptors there is nothing to see; then it only pauses.
inline void awaitWatching(pid_t pid) {
  for (int i = 0; i < 200 && !holdsProcessDescriptor(pid); ++i)
    sleepFor(std::chrono::milliseconds(10));
}

/// A datagram socket bound in \p directory, receiving syslog records the way
/// a system logger does on /dev/log.
class LogReceiver {
public:
  explicit LogReceiver(const std::filesystem::path &directory) : path(directory / "log") {
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot bind " + path.string());
  }
  LogReceiver(const LogReceiver &) = delete;
  LogReceiver &operator=(const LogReceiver &) = delete;
  ~LogReceiver() { ::close(fd); }

  /// Every record that has arrived, waiting up to \p first for the first.
  std::vector<std::string> records(std::chrono::milliseconds first) const {
    std::vector<std::string> received;
    pollfd ready{fd, POLLIN, 0};
    int timeout = static_cast<int>(first.count());
    while (::poll(&ready, 1, timeout) == 1) {
      char buffer[4096];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n < 0)
        break;
      received.emplace_back(buffer, static_cast<std::size_t>(n));
      timeout = 0;
    }
    return received;
  }

  /// For a child about to exec: a private mount namespace whose /dev/log is
  /// this receiver. Exits with `unavailable` when the system will not allow it.
  void becomeDevLog() const {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
      ::_exit(unavailable);
    const int target = ::open("/dev/log", O_WRONLY | O_CREAT, 0666);
    if (target < 0 || ::close(target) != 0 || ::mount(path.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0)
      ::_exit(unavailable);
  }

  static constexpr int unavailable = 125;

private:
  std::filesystem::path path;
  int fd = -1;
};

} // namespace TestSupport
