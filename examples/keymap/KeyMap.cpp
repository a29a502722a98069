// SPDX-License-Identifier: Apache-2.0
// keymap get
// keymap set < saved
// keymap holders
//
// The user key mapping through FnRemapKit's store, one entry a line, each
// key and value as KEY=VALUE, separated by blanks. `get` prints the list
// ("unset" when the system holds none); `set` replaces it with the lines on
// standard input (an unset one comes back empty, which the system treats
// alike). The demo saves the mapping with one and puts it back with the other.
// `holders` prints the ledger: who holds which entry, one hold a line, then
// what installs displaced for each source ("no holds" when there are none).
#include <FnRemapKit/FnRemapKit.hpp>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

using namespace FnRemapKit;

namespace {

int get(const HIDKeyMappingStore &store) {
  std::ostringstream out;
  try {
    const auto list = store.read();
    if (!list)
      out << "unset\n";
    for (const auto &element : list.value_or(KeyMappingList{})) {
      if (!element.entry()) {
        std::fputs("keymap: cannot write another tool's entry, whose values are not all integers, on a line\n",
                   stderr);
        return 1;
      }
      for (const auto &[key, value] : *element.entry()) {
        if (key.empty() || key.find_first_of(" =\n") != std::string::npos) {
          std::fprintf(stderr, "keymap: cannot write the key \"%s\" on a line\n", key.c_str());
          return 1;
        }
        out << key << '=' << value << ' ';
      }
      out << '\n';
    }
  } catch (const std::exception &error) {
    std::fprintf(stderr, "keymap: cannot read the key mapping: %s\n", error.what());
    return 1;
  }
  std::fputs(out.str().c_str(), stdout);
  return 0;
}

std::string line(const KeyMappingEntry &entry) {
  std::string text;
  for (const auto &[key, value] : entry)
    text += (text.empty() ? "" : " ") + key + "=" + std::to_string(value);
  return text;
}

// A reader only: it takes no lock and moves nothing aside.
int holders() {
  KeyMappingLedger::Loaded loaded;
  try {
    loaded = KeyMappingLedger::file().peek();
  } catch (const std::exception &error) {
    std::fprintf(stderr, "keymap: cannot read the holds: %s\n", error.what());
    return 1;
  }
  if (loaded.state != KeyMappingLedger::Loaded::State::read) {
    std::fprintf(stderr, "keymap: %s is %s\n", KeyMappingLedger::file().path().c_str(),
                 loaded.state == KeyMappingLedger::Loaded::State::newer ? "a newer FnRemapKit's" : "damaged");
    return 1;
  }
  const auto &[holds, displaced] = loaded.holds;
  if (holds.empty())
    std::puts("no holds");
  const std::string boot = bootIdentifier();
  for (const auto &hold : holds) {
    const std::string name = processName(hold.application.pid);
    std::printf("application %d (%s) %s, guard %d %s, %s boot: %s\n", hold.application.pid,
                name.empty() ? "?" : name.c_str(), isRunning(hold.application) ? "live" : "gone", hold.guard.pid,
                isRunning(hold.guard) ? "live" : "gone", hold.boot == boot ? "this" : "another", line(hold.entry).c_str());
  }
  for (const auto &[source, entries] : displaced)
    for (const auto &entry : entries)
      std::printf("displaced for %s: %s\n", FnGuardArguments::formatUsage(source).c_str(), line(entry).c_str());
  return 0;
}

int set(const HIDKeyMappingStore &store) {
  KeyMappingList list;
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "unset")
      continue;
    std::istringstream words(line);
    KeyMappingEntry entry;
    for (std::string word; words >> word;) {
      const auto equals = word.find('=');
      std::size_t used = 0;
      try {
        if (equals != std::string::npos &&
            entry.emplace(word.substr(0, equals), std::stoll(word.substr(equals + 1), &used)).second &&
            equals + 1 + used == word.size())
          continue;
      } catch (const std::logic_error &) {
      }
      std::fprintf(stderr, "keymap: not KEY=VALUE once per entry: %s\n", word.c_str());
      return 65;
    }
    list.push_back(std::move(entry));
  }
  // Under the lock FnRemapKit's writers share, so that no guard or session
  // acting meanwhile loses its change, or makes us lose ours.
  const auto lock = KeyMappingLock::acquire();
  if (!lock) {
    std::fprintf(stderr, "keymap: %s\n", lock.error().c_str());
    return 1;
  }
  if (store.write(list))
    return 0;
  std::fprintf(stderr, "keymap: the HID system refused the list\n");
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  const std::string verb = argc == 2 ? argv[1] : "";
  if (verb == "get")
    return get(HIDKeyMappingStore());
  if (verb == "set")
    return set(HIDKeyMappingStore());
  if (verb == "holders")
    return holders();
  std::fprintf(stderr, "usage: keymap get | keymap set | keymap holders\n");
  return 64;
}
