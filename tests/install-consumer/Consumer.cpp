// consumer [guard-path]
//
// A project of someone else's, built against an installed FnRemapKit through
// its CMake package. It links the whole library (the session's platform
// calls included) but changes no key mapping unless given a guard to start.
#include <FnRemapKit/FnRemapKit.hpp>

#include <cstdio>

using namespace FnRemapKit;

int main(int argc, char **argv) {
  const auto ours = FnRemapMapping::entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
  if (argc > 1)
    return FnRemapSession::begin(argv[1], ours).end().restored ? 0 : 1;
  const std::string_view command[] = {"tarnwick-fn-guard", "4242", "0xFF00000003", "0x70000006E"};
  const bool works = FnGuardArguments::parse(command) == FnGuardArguments(4242, ours) &&
                     FnRemapMapping::merging({}, ours) == KeyMappingList{ours};
  std::puts(works ? "consumer: installed FnRemapKit works" : "consumer: installed FnRemapKit fails");
  return works ? 0 : 1;
}
