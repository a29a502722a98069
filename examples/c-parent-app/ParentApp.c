// SPDX-License-Identifier: Apache-2.0
// c-parent-app <guard-path>
//
// The reference application again, in C11 over <FnRemapKit/FnRemapKit.h>, as
// a C, Objective-C or Swift application uses FnRemapKit: begin a session,
// which starts the guard and then installs the remap, and on a normal quit
// (SIGTERM, SIGINT or SIGHUP) end it, which puts the list back and ends the
// guard. Killed instead, the guard removes the entry.
#define _POSIX_C_SOURCE 200809L
#include <FnRemapKit/FnRemapKit.h>

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: c-parent-app <guard-path>\n");
    return 64;
  }
  // Quit signals are taken synchronously, by sigwait; the guard is started
  // with an empty mask whatever ours is.
  sigset_t quitSignals;
  sigemptyset(&quitSignals);
  sigaddset(&quitSignals, SIGTERM);
  sigaddset(&quitSignals, SIGINT);
  sigaddset(&quitSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &quitSignals, NULL);

  char error[256];
  FnRemapErrorCode code = FnRemapErrorNone;
  FnRemapSessionRef session = FnRemapSessionBeginWithCode(argv[1], FnRemapFnSource, FnRemapFnDestination,
                                                          &code, error, sizeof error);
  if (!session) {
    fprintf(stderr, "c-parent-app: %s\n", error);
    switch (code) {
    case FnRemapErrorLocked: // another FnRemapKit program is writing the list: worth a retry
      return 75;              // EX_TEMPFAIL
    case FnRemapErrorKeyRemappedByOther:
      fprintf(stderr, "c-parent-app: quit the other application that remaps Fn, then start again\n");
      return 1;
    default:
      return 1;
    }
  }
  printf("parent-app %d: fn remap installed, guard %d watching\n", (int)getpid(),
         (int)FnRemapSessionGetGuardPID(session));
  fflush(stdout);

  int quit = 0;
  sigwait(&quitSignals, &quit);
  const bool restored = FnRemapSessionEnd(session, error, sizeof error);
  FnRemapSessionFree(session); // a guard kept after a failed end stays running
  if (!restored) {
    fprintf(stderr, "c-parent-app: %s\n", error);
    return 1; // the guard removes our entry once we are gone
  }
  printf("parent-app %d: key mapping restored\n", (int)getpid());
  return 0;
}
