// SPDX-License-Identifier: Apache-2.0
// orphan-reaper [-l] <command> [argument...]
//
// Runs the command as a child subreaper (Linux), so that every descendant
// whose parent dies is handed to us, and prints one line for each process
// reaped, the command itself included, until none is left:
//
//   pid 4242 exited with status 0
//   pid 4241 was killed by signal 9
//
// SIGTERM, SIGINT and SIGHUP are passed on to the command, so that ending
// the reaper ends the command as it would have ended alone.
//
// With -l (root only) the command runs in a mount namespace of its own whose
// /dev/log is a socket of ours, and every syslog record a descendant sends
// is printed at the end as "log: <record>". Where no such namespace can be
// made, it says so and runs the command all the same.
//
// The demo uses it to show the guard's exit status and log record after its
// parent was killed; a shell cannot wait for a process it did not start.
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

extern char **environ;

namespace {

bool touch(const std::string &path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  return fd >= 0 && ::close(fd) == 0;
}

/// Binds a datagram socket in a new temporary directory and makes it /dev/log
/// for us and our descendants, keeping /dev/null. Returns the socket, or -1
/// with /dev as it was.
int becomeDevLog() {
  char directory[] = "/tmp/orphan-reaper.XXXXXX";
  if (!::mkdtemp(directory))
    return -1;
  const std::string socketPath = std::string(directory) + "/log", nullPath = std::string(directory) + "/null";
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  const bool devMounted =
      fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
      touch(nullPath) && ::mount("/dev/null", nullPath.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
      ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") == 0;
  const bool ready = devMounted && touch("/dev/null") &&
                     ::mount(nullPath.c_str(), "/dev/null", nullptr, MS_BIND, nullptr) == 0 &&
                     touch("/dev/log") &&
                     ::mount(socketPath.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) == 0;
  const int error = errno;
  if (devMounted && !ready)
    ::umount2("/dev", MNT_DETACH); // the command gets the real /dev back
  // The names are no longer needed: the mounts hold the inodes.
  ::umount(nullPath.c_str());
  ::unlink(nullPath.c_str());
  ::unlink(socketPath.c_str());
  ::rmdir(directory);
  if (!ready && fd >= 0)
    ::close(fd);
  errno = error;
  return ready ? fd : -1;
}

volatile sig_atomic_t command = 0; // whom the quit signals go on to, once started

void passOn(int signal) {
  const int error = errno; // the wait it interrupted reads it
  if (command > 0)
    ::kill(command, signal);
  errno = error;
}

void printRecords(int log) {
  char record[4096];
  ssize_t n;
  while ((n = ::recv(log, record, sizeof record, MSG_DONTWAIT)) > 0)
    std::printf("log: %.*s\n", static_cast<int>(n), record);
}

} // namespace

int main(int argc, char **argv) {
  const bool catchLog = argc > 1 && std::strcmp(argv[1], "-l") == 0;
  char **commandLine = argv + 1 + catchLog;
  if (!*commandLine) {
    std::fprintf(stderr, "usage: orphan-reaper [-l] <command> [argument...]\n");
    return 64;
  }
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    std::perror("orphan-reaper: cannot become a subreaper");
    return 1;
  }
  const int log = catchLog ? becomeDevLog() : -1;
  if (catchLog && log < 0) // a container without CAP_SYS_ADMIN, say
    std::fprintf(stderr, "orphan-reaper: cannot give the command a /dev/log of its own (%s); "
                         "its records go to the system's\n", std::strerror(errno));
  // Held back until the command has a pid to pass them on to; the command
  // starts with our mask as it was.
  sigset_t quit, before;
  sigemptyset(&quit);
  struct sigaction forward {};
  forward.sa_handler = passOn;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    sigaddset(&quit, signal);
    ::sigaction(signal, &forward, nullptr);
  }
  ::sigprocmask(SIG_BLOCK, &quit, &before);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setsigmask(&attributes, &before);
  pid_t child = -1;
  const int error = ::posix_spawnp(&child, commandLine[0], nullptr, &attributes, commandLine, environ);
  posix_spawnattr_destroy(&attributes);
  if (error) {
    std::fprintf(stderr, "orphan-reaper: cannot run %s: %s\n", commandLine[0], std::strerror(error));
    return 127;
  }
  command = child;
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
  int commandStatus = 1;
  for (;;) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, 0);
    if (pid < 0 && errno == EINTR)
      continue;
    if (pid < 0)
      break; // ECHILD: everyone is gone
    if (WIFEXITED(status))
      std::printf("pid %d exited with status %d\n", pid, WEXITSTATUS(status));
    else
      std::printf("pid %d was killed by signal %d\n", pid, WTERMSIG(status));
    std::fflush(stdout);
    if (pid == child) {
      command = 0; // reaped: its pid may go to anyone now
      commandStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  if (log >= 0)
    printRecords(log);
  return commandStatus;
}
