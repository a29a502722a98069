// SPDX-License-Identifier: Apache-2.0
// consumer [guard-path]
//
// A project of someone else's, built against an installed FnRemapKit through
// its CMake package. It links the whole library (the session's platform
// calls included) but changes no key mapping unless given a guard to start;
// then it begins a session as the README shows, and ends it.
#include <FnRemapKit/FnRemapKit.hpp>

#include <cstdio>

using namespace FnRemapKit;

static int remap(const char *guardPath) {
  // snippet: begin
  try {
    auto session = FnRemapSession::begin(guardPath,
        FnRemapMapping::entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination));
    session.onEvent([](FnRemapSession::Event event) { // on the session's monitor thread
      if (event == FnRemapSession::Event::monitorStopped)
        std::fputs("the remap is no longer watched: end the session\n", stderr);
    });
    // ... the application runs; on a normal quit:
    if (auto ending = session.end(); !ending.restored)
      std::fprintf(stderr, "%s\n", ending.message.c_str()); // the guard still removes it at exit
  } catch (const FnRemapSessionError &failure) {
    std::fprintf(stderr, "%s\n", failure.what()); // and failure.code(), which stays
    return 1;
  }
  // snippet: end
  return 0;
}

int main(int argc, char **argv) {
  if (argc > 1)
    return remap(argv[1]);
  const auto ours = FnRemapMapping::entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
  const std::string_view command[] = {"tarnwick-fn-guard", "4242", "0xFF00000003", "0x70000006E"};
  const bool works = FnGuardArguments::parse(command) == FnGuardArguments(4242, ours) &&
                     FnRemapMapping::merging({}, ours) == KeyMappingList{ours};
  std::puts(works ? "consumer: installed FnRemapKit works" : "consumer: installed FnRemapKit fails");
  return works ? 0 : 1;
}
