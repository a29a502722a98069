// SPDX-License-Identifier: Apache-2.0
// app [guard-path]
//
// A C program built against an installed FnRemapKit by CMake, as the README
// shows. Without a guard it checks that the installed package, its header
// and its library say one version; with one, it begins a session and ends it.
#include <FnRemapKit/FnRemapKit.h>

#include <stdio.h>
#include <string.h>

static int remap(const char *guardPath) {
  // snippet: begin
  char error[256];
  FnRemapErrorCode code;
  FnRemapSessionRef session = FnRemapSessionBeginWithCode(guardPath, FnRemapFnSource, FnRemapFnDestination,
                                                          &code, error, sizeof error);
  if (!session) {
    fprintf(stderr, "%s\n", error);             // the library's line
    return code == FnRemapErrorLocked ? 75 : 1; // another FnRemapKit writer: try again soon
  }
  // ... the application runs; on a normal quit:
  if (!FnRemapSessionEndWithCode(session, &code, error, sizeof error))
    fprintf(stderr, "%s\n", error);             // the guard still removes the entry at exit
  FnRemapSessionFree(session);
  // snippet: end
  return 0;
}

int main(int argc, char **argv) {
  if (argc > 1)
    return remap(argv[1]);
  const char *library = FnRemapKitVersion();
  if (strcmp(library, FNREMAPKIT_VERSION_STRING) != 0 || strcmp(PACKAGE_VERSION, FNREMAPKIT_VERSION_STRING) != 0) {
    fprintf(stderr, "app: the library says %s, the header %s, the package %s\n", library, FNREMAPKIT_VERSION_STRING,
            PACKAGE_VERSION);
    return 1;
  }
  printf("app: FnRemapKit %s, in C alone\n", library);
  return 0;
}
