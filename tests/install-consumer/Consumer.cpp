// Uses the installed headers and library the way an application does:
// install the remap through the store, check the guard's command line, and
// restore. Exits 0 only when every step gives what it should.
#include <FnRemapKit/FnRemapKit.hpp>

#include <cstdio>
#include <string_view>

using namespace FnRemapKit;

int main() {
  const auto ours = FnRemapMapping::entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
  const KeyMappingList original = {FnRemapMapping::entry(0x700000039, 0x7000000E0)};
  const HIDKeyMappingStore store;
  if (!store.write(FnRemapMapping::merging(original, ours)) ||
      store.read() != KeyMappingList{original[0], ours}) {
    std::fprintf(stderr, "consumer: the store did not keep the installed list\n");
    return 1;
  }
  const std::string_view command[] = {"tarnwick-fn-guard", "4242", "0xFF00000003", "0x70000006E"};
  if (FnGuardArguments::parse(command) != FnGuardArguments(4242, ours)) {
    std::fprintf(stderr, "consumer: the guard's command line did not parse\n");
    return 1;
  }
  if (FnGuard::removeOurs(ours, store) != FnGuardOutcome::removed() || store.read() != original) {
    std::fprintf(stderr, "consumer: the remap was not removed\n");
    return 1;
  }
  std::printf("consumer: installed FnRemapKit works\n");
  return 0;
}
