// c-interface-test <guard-path>
//
// The C interface from C11, as an application uses it: a session with the
// real guard on the stand-in, in a state directory of its own. Exits 0 only
// when every step holds. On macOS the session changes the real key mapping,
// so it runs only with FNREMAPKIT_TEST_REAL_HID=1 (else exits 77, skipped),
// and what it installs is not read back.
#define _POSIX_C_SOURCE 200809L
#include <FnRemapKit/FnRemapKit.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char directory[] = "/tmp/c-interface-test.XXXXXX";
static char path[64];

static int fail(const char *what, const char *detail) {
  fprintf(stderr, "c-interface-test: %s: %s\n", what, detail);
  return 1;
}

#if !defined(__APPLE__)
// The stand-in's state file, whole; "" when there is none.
static const char *state(void) {
  static char text[4096];
  FILE *file = fopen(path, "r");
  size_t size = file ? fread(text, 1, sizeof text - 1, file) : 0;
  if (file)
    fclose(file);
  text[size] = '\0';
  return text;
}
#endif

static int run(const char *guard) {
  char error[256];
  if (FnRemapSessionBegin("/nonexistent/guard", 1, 2, error, sizeof error))
    return fail("began with no guard", "");
  if (strcmp(error, "cannot start the guard at /nonexistent/guard: No such file or directory") != 0)
    return fail("a failed begin said", error);
#if !defined(__APPLE__)
  if (strcmp(state(), "") != 0)
    return fail("a failed begin wrote", state());
#endif

  FnRemapSessionRef session =
      FnRemapSessionBegin(guard, FnRemapFnSource, -FnRemapFnDestination, error, sizeof error);
  if (!session)
    return fail("begin", error);
  const pid_t pid = FnRemapSessionGetGuardPID(session);
  if (pid <= 0 || kill(pid, 0) != 0)
    return fail("no guard running", "");
#if !defined(__APPLE__)
  if (!strstr(state(), "\"HIDKeyboardModifierMappingDst\":-30064771182,"
                       "\"HIDKeyboardModifierMappingSrc\":1095216660483"))
    return fail("the remap is not installed", state());
#endif
  if (!FnRemapSessionEnd(session, error, sizeof error))
    return fail("end", error);
  if (FnRemapSessionGetGuardPID(session) != 0 || kill(pid, 0) == 0 || errno != ESRCH)
    return fail("the guard outlived the session", "");
#if !defined(__APPLE__)
  if (strcmp(state(), "[]\n") != 0)
    return fail("not restored", state());
#endif
  FnRemapSessionFree(session);
  FnRemapSessionFree(NULL);
  return FnRemapFnDestinationKeyCode == 80 ? 0 : fail("FnRemapFnDestinationKeyCode", "not 80");
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: c-interface-test <guard-path>\n");
    return 64;
  }
#if defined(__APPLE__)
  const char *real = getenv("FNREMAPKIT_TEST_REAL_HID");
  if (!real || strcmp(real, "1") != 0) {
    puts("c-interface-test: skipped: it changes the real key mapping; set FNREMAPKIT_TEST_REAL_HID=1");
    return 77;
  }
#endif
  if (!mkdtemp(directory) || setenv("TARNWICK_HID_STATE_DIR", directory, 1) != 0)
    return fail("cannot make a state directory", strerror(errno));
  snprintf(path, sizeof path, "%s/UserKeyMapping.json", directory);
  const int status = run(argv[1]);
  remove(path);
  rmdir(directory);
  if (status == 0)
    puts("c-interface-test: the C interface works");
  return status;
}
