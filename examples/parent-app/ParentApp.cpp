// SPDX-License-Identifier: Apache-2.0
// parent-app <guard-path>
//
// What an application that remaps the Fn key does with FnRemapKit: begin a
// session, which starts the guard and then installs the remap, and on a
// normal quit (SIGTERM, SIGINT or SIGHUP) end it, which puts the list back
// and ends the guard. Killed instead, the guard removes the entry for us.
// Apple keyboards report Fn on one of two usage pages, by model, so it
// begins a session for each: one line a session, once both are in.
#include <FnRemapKit/FnRemapKit.hpp>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

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
    std::vector<FnRemapSession> sessions;
    std::string installed;
    for (const auto source : {FnRemapMapping::fnSource, FnRemapMapping::fnVendorKeyboardSource}) {
      sessions.push_back(FnRemapSession::begin(argv[1], FnRemapMapping::entry(source, FnRemapMapping::fnDestination)));
      installed += "parent-app " + std::to_string(::getpid()) + ": fn remap installed, guard " +
                   std::to_string(sessions.back().guardPid()) + " watching\n";
    }
    std::fputs(installed.c_str(), stdout);
    std::fflush(stdout);

    int quit = 0;
    sigwait(&quitSignals, &quit);
    bool restored = true;
    for (auto &session : sessions)
      if (const auto ending = session.end(); !ending.restored) {
        std::fprintf(stderr, "parent-app: %s\n", ending.message.c_str());
        restored = false; // the guard removes that entry once we are gone
      }
    if (!restored)
      return 1;
  } catch (const FnRemapSessionError &error) {
    std::fprintf(stderr, "parent-app: %s\n", error.what());
    return 1;
  }
  std::printf("parent-app %d: key mapping restored\n", ::getpid());
  return 0;
}
