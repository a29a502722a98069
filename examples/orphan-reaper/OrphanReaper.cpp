// orphan-reaper <command> [argument...]
//
// Runs the command as a child subreaper (Linux), so that every descendant
// whose parent dies is handed to us, and prints one line for each process
// reaped, the command itself included, until none is left:
//
//   pid 4242 exited with status 0
//   pid 4241 was killed by signal 9
//
// The demo uses it to show the guard's exit status after its parent was
// killed; a shell cannot wait for a process it did not start.
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char **environ;

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: orphan-reaper <command> [argument...]\n");
    return 64;
  }
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    std::perror("orphan-reaper: cannot become a subreaper");
    return 1;
  }
  pid_t command = -1;
  if (const int error = ::posix_spawnp(&command, argv[1], nullptr, nullptr, argv + 1, environ)) {
    std::fprintf(stderr, "orphan-reaper: cannot run %s: %s\n", argv[1], std::strerror(error));
    return 127;
  }
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
    if (pid == command)
      commandStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return commandStatus;
}
