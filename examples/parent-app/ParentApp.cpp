// parent-app <guard-path>
//
// What an application that remaps the Fn key does with FnRemapKit: begin a
// session, which starts the guard and then installs the remap, and on a
// normal quit (SIGTERM, SIGINT or SIGHUP) end it, which puts the list back
// and ends the guard. Killed instead, the guard removes the entry for us.
#include <FnRemapKit/FnRemapKit.hpp>

#include <signal.h>
#include <unistd.h>

#include <cstdio>

using namespace FnRemapKit;

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: parent-app <guard-path>\n");
    return 64;
  }

  // Quit signals are taken synchronously, by sigwait; the guard is started
  // with an empty mask whatever ours is.
  sigset_t quitSignals;
  sigemptyset(&quitSignals);
  for (int signal : {SIGTERM, SIGINT, SIGHUP})
    sigaddset(&quitSignals, signal);
  sigprocmask(SIG_BLOCK, &quitSignals, nullptr);

  try {
    auto session = FnRemapSession::begin(
        argv[1], FnRemapMapping::entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination));
    std::printf("parent-app %d: fn remap installed, guard %d watching\n", ::getpid(),
                session.guardPid());
    std::fflush(stdout);

    int quit = 0;
    sigwait(&quitSignals, &quit);
    if (const auto ending = session.end(); !ending.restored) {
      std::fprintf(stderr, "parent-app: %s\n", ending.message.c_str());
      return 1; // the guard removes our entry once we are gone
    }
  } catch (const FnRemapSessionError &error) {
    std::fprintf(stderr, "parent-app: %s\n", error.what());
    return 1;
  }
  std::printf("parent-app %d: key mapping restored\n", ::getpid());
  return 0;
}
