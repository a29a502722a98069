// SPDX-License-Identifier: Apache-2.0
#include "ChildProcess.hpp"

#include "../support/ProcessStat.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <libproc.h>
#include <sys/event.h>
#else
#include <fcntl.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cerrno>

namespace FnRemapKit::Process {
namespace {

using std::chrono::milliseconds;

/// How long a child killed at the spawn gets to end.
constexpr milliseconds killBound{1000};

/// Who started a process, and when: what tells our child from a stranger
/// that was given its pid.
struct Identity {
  pid_t parent;
  std::uint64_t start;
};

#if defined(__APPLE__)
// A non-zero argument makes it find a zombie too, whose parent may reap it.
std::optional<Identity> identityOf(pid_t pid) {
  struct proc_bsdinfo info {};
  if (::proc_pidinfo(pid, PROC_PIDTBSDINFO, 1, &info, sizeof info) != static_cast<int>(sizeof info))
    return std::nullopt;
  return Identity{static_cast<pid_t>(info.pbi_ppid), info.pbi_start_tvsec * 1'000'000 + info.pbi_start_tvusec};
}
#else
std::optional<Identity> identityOf(pid_t pid) {
  const auto stat = readProcessStat(pid);
  return stat ? std::optional(Identity{stat->parent, stat->start}) : std::nullopt;
}

int pidfdOpen(pid_t pid) {
#if defined(SYS_pidfd_open)
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}
#endif

/// How a child that waitpid reaped ended, from its \p status.
std::optional<Ending> endingOf(int status) {
  if (WIFEXITED(status))
    return Ending{false, WEXITSTATUS(status)};
  if (WIFSIGNALED(status))
    return Ending{true, WTERMSIG(status)};
  return std::nullopt;
}

void pause(std::chrono::nanoseconds length) {
  const timespec interval{0, static_cast<long>(length.count())};
  ::nanosleep(&interval, nullptr);
}

} // namespace

std::string Ending::describe() const {
  return (signalled ? "killed by signal " : "exit status ") + std::to_string(number);
}

ChildProcess::~ChildProcess() { forget(); }

void ChildProcess::forget() noexcept {
  descriptor = FileDescriptor();
  id = 0;
}

int ChildProcess::spawn(const char *path, const posix_spawn_file_actions_t *actions,
                        const posix_spawnattr_t *attributes, char *const argv[],
                        char *const envp[]) noexcept {
  if (id != 0)
    return EBUSY;
  end.reset();
  pid_t pid = 0;
  if (const int error = ::posix_spawn(&pid, path, actions, attributes, argv, envp))
    return error;
  id = pid;
#if !defined(__APPLE__)
  // At once: until the descriptor is open, only the pid names the child
  // (and a child reaped for us in between could leave it to another, were
  // every pid used up in that instant). One reaped already (SIGCHLD
  // ignored) leaves ESRCH. A kernel or a filter without descriptors
  // (ENOSYS, EPERM), or one that opens them but cannot wait on them (before
  // 5.4), leaves the pid's checks. Any other failure (EMFILE, ENFILE,
  // ENOMEM) leaves a child that we could not tell from a stranger once the
  // same want makes /proc unreadable too: it is ended now, while its pid is
  // still its own.
  descriptor = FileDescriptor(pidfdOpen(pid));
  if (!descriptor) {
    const int error = errno;
    if (error == ESRCH) {
      forget();
      return 0;
    }
    if (error != ENOSYS && error != EPERM)
      return refuse(error);
  } else {
    siginfo_t probe{};
    if (::waitid(P_PIDFD, static_cast<id_t>(descriptor.get()), &probe, WEXITED | WNOHANG | WNOWAIT) == 0 ||
        errno != EINVAL)
      return 0;
    descriptor = FileDescriptor();
  }
#endif
  // Start times count clock ticks on Linux: a pid the system handed on
  // within the same tick would pass for our child, but that needs all pids
  // used up in 10 ms.
  errno = 0;
  const auto identity = identityOf(pid);
  if (identity && identity->parent == ::getpid()) {
    startTime = identity->start;
    return 0;
  }
  // Unread (no descriptor to read it with, say) while the child is still
  // ours: without its start time no later check could tell it from a
  // stranger, so it is ended now.
  const int error = errno ? errno : EIO;
  int status = 0;
  const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
  if (reaped == 0)
    return refuse(error);
  if (reaped == pid)
    end = endingOf(status);
  forget(); // exited, or reaped already by someone else
  return 0;
}

int ChildProcess::refuse(int error) noexcept {
  // The child is not reaped, so the pid is still its own: neither the
  // system (it has not exited) nor anyone's waitpid(-1) can have handed it
  // on. SIGKILL ends it at once, stopped or not; the bound is for a kernel
  // that keeps it in an uninterruptible sleep, and leaves a zombie at worst.
  int status = 0;
  pid_t reaped = ::waitpid(id, &status, WNOHANG);
  if (reaped == 0) {
    ::kill(id, SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + killBound;
    while ((reaped = ::waitpid(id, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
      pause(milliseconds{1});
  }
  if (reaped == id)
    end = endingOf(status);
  forget();
  return error;
}

// Reaps the child once it has exited. Where there is no descriptor, the pid
// is checked first, so that it is never taken for another's; a check that
// wants descriptors or memory learns nothing, and keeps the child.
ChildProcess::Seen ChildProcess::look() noexcept {
  if (id == 0)
    return Seen::ended;
#if !defined(__APPLE__)
  if (descriptor) {
    siginfo_t info{};
    if (::waitid(P_PIDFD, static_cast<id_t>(descriptor.get()), &info, WEXITED | WNOHANG) == 0) {
      if (info.si_pid == 0)
        return Seen::running;
      end = Ending{info.si_code != CLD_EXITED, info.si_status};
    } else if (errno != ECHILD) {
      return Seen::unsure;
    }
    // ECHILD: the system reaped it for us, or someone's waitpid(-1) did.
    forget();
    return Seen::ended;
  }
#endif
  errno = 0;
  const auto identity = identityOf(id);
  if (!identity && (errno == EMFILE || errno == ENFILE || errno == ENOMEM))
    return Seen::unsure;
  int status = 0;
  if (identity && identity->parent == ::getpid() && identity->start == startTime) {
    const pid_t reaped = ::waitpid(id, &status, WNOHANG);
    if (reaped == 0)
      return Seen::running;
    if (reaped == id)
      end = endingOf(status);
  }
  forget();
  return Seen::ended;
}

bool ChildProcess::ended() noexcept { return look() == Seen::ended; }

pid_t ChildProcess::pid() noexcept { return ended() ? 0 : id; }

FileDescriptor ChildProcess::exitNotice() noexcept {
  if (look() != Seen::running)
    return FileDescriptor();
#if defined(__APPLE__)
  // The pid is still our child's: it runs, and only we reap it.
  FileDescriptor queue(::kqueue());
  if (!queue)
    return FileDescriptor();
  struct kevent change;
  EV_SET(&change, id, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
  if (::kevent(queue.get(), &change, 1, nullptr, 0, nullptr) != 0)
    return FileDescriptor();
  return queue;
#else
  if (!descriptor)
    return FileDescriptor();
  return FileDescriptor(::fcntl(descriptor.get(), F_DUPFD_CLOEXEC, 0));
#endif
}

void ChildProcess::signal(int signal) noexcept {
  const Seen seen = look();
  if (seen == Seen::ended)
    return;
#if !defined(__APPLE__)
  if (descriptor) {
    ::syscall(SYS_pidfd_send_signal, descriptor.get(), signal, nullptr, 0);
    return;
  }
#endif
  if (seen == Seen::running) // an unchecked pid may be someone else's by now
    ::kill(id, signal);
}

bool ChildProcess::waitFor(milliseconds limit) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!ended()) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= left.zero())
      return false;
#if !defined(__APPLE__)
    if (descriptor) {
      pollfd exit{descriptor.get(), POLLIN, 0};
      ::poll(&exit, 1, static_cast<int>(std::chrono::ceil<milliseconds>(left).count()));
      continue;
    }
#endif
    pause(std::min<std::chrono::nanoseconds>(left, milliseconds{5}));
  }
  return true;
}

void ChildProcess::terminate(milliseconds limit) noexcept {
  signal(SIGTERM);
  signal(SIGCONT);
  if (!waitFor(limit)) {
    signal(SIGKILL);
    waitFor(limit);
  }
}

} // namespace FnRemapKit::Process
