// SPDX-License-Identifier: Apache-2.0
// kqueue and kevent of the apple-on-linux build, as far as the exit watch and
// the child handle use them: EVFILT_PROC with NOTE_EXIT, and EVFILT_READ. A
// queue is a descriptor that poll finds readable once its process has exited,
// as a real one is: an epoll descriptor watching nothing until a process is
// added, then that process's descriptor (pidfd) in its place, so one process
// a queue. A read watch lasts the call that adds it, which is how the exit
// watch adds it (on every wait). Events name no ident.
#include <sys/event.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

extern "C" int kqueue(void) { return ::epoll_create1(EPOLL_CLOEXEC); }

extern "C" int kevent(int kq, const struct kevent *changes, int nchanges, struct kevent *events, int nevents,
                      const struct timespec *timeout) {
  std::vector<pollfd> watched{{kq, POLLIN, 0}};
  int reported = 0;
  for (int i = 0; i < nchanges; ++i) {
    const struct kevent &change = changes[i];
    int error = EINVAL;
    if (change.filter == EVFILT_READ && (change.flags & EV_ADD)) {
      watched.push_back({static_cast<int>(change.ident), POLLIN, 0});
      error = ::fcntl(static_cast<int>(change.ident), F_GETFD) < 0 ? EBADF : 0;
    } else if (change.filter == EVFILT_PROC && (change.flags & EV_ADD) && change.fflags == NOTE_EXIT) {
      const int process = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(change.ident), 0));
      error = process < 0 ? errno : ::dup3(process, kq, O_CLOEXEC) < 0 ? errno : 0;
      if (process >= 0)
        ::close(process);
    }
    if (error == 0)
      continue;
    // With no room for events, a refused change fails the call; with room,
    // it comes back as an event, and the call does not wait.
    if (reported == nevents) {
      errno = error;
      return -1;
    }
    events[reported++] = {change.ident, change.filter, EV_ERROR, 0, error, change.udata};
  }
  if (reported > 0 || nevents == 0)
    return reported;
  const int wait = timeout ? static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_nsec / 1000000) : -1;
  if (::poll(watched.data(), watched.size(), wait) < 0)
    return -1;
  for (std::size_t i = 0; i < watched.size() && reported < nevents; ++i)
    if (watched[i].revents & (POLLIN | POLLHUP))
      events[reported++] = {i == 0 ? 0 : static_cast<uintptr_t>(watched[i].fd),
                            static_cast<int16_t>(i == 0 ? EVFILT_PROC : EVFILT_READ), 0,
                            i == 0 ? NOTE_EXIT : 0, 0, nullptr};
  return reported;
}
