// SPDX-License-Identifier: Apache-2.0
#include "FnRemapKit/KeyMappingLedger.hpp"

#include "LedgerFormat.hpp"
#include "../hid/HIDSystem.hpp"
#include "../support/OwnFile.hpp"

#include <stdio.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace FnRemapKit {

// A ledger in memory holds its holds; the file's are read and written each
// time, as the store's list is.
struct KeyMappingLedger::Impl {
  std::optional<KeyMappingHolds> memory;
};

KeyMappingLedger KeyMappingLedger::file() { return KeyMappingLedger(std::make_shared<Impl>()); }

KeyMappingLedger KeyMappingLedger::inMemory() {
  return KeyMappingLedger(std::make_shared<Impl>(Impl{KeyMappingHolds{}}));
}

std::string KeyMappingLedger::path() const { return impl->memory ? std::string() : HID::ledgerPath(); }

std::string KeyMappingLedger::damagedPath() const {
  const std::string file = path();
  return file.empty() ? file : file + ".damaged";
}

KeyMappingLedger::Loaded KeyMappingLedger::load() const { return read(true); }

KeyMappingLedger::Loaded KeyMappingLedger::peek() const { return read(false); }

KeyMappingLedger::Loaded KeyMappingLedger::read(bool moveDamagedAside) const {
  using State = Loaded::State;
  if (impl->memory)
    return {State::read, *impl->memory};
  const auto place = HID::openLedgerPlace(false);
  if (!place.directory)
    return {State::read, {}};
  // A later version's is told by its start, however long it is.
  const auto text = readOwnFile(place.directory.get(), place.name, path(), Ledger::maximumSize + 1);
  if (!text)
    return {State::read, {}};
  auto loaded = Ledger::parse(*text);
  // Kept aside for whoever wants to know what it held; the holds in it are
  // lost, and with them what they would have undone.
  if (moveDamagedAside && loaded.state == State::damaged &&
      ::renameat(place.directory.get(), place.name.c_str(), place.directory.get(),
                 (place.name + ".damaged").c_str()) != 0)
    throw std::runtime_error("cannot move " + path() + " aside: " + std::strerror(errno));
  return loaded;
}

void KeyMappingLedger::save(const KeyMappingHolds &holds) const {
  if (impl->memory) {
    impl->memory = holds;
    return;
  }
  // One that could not be read back would be moved aside, and its holds lost.
  const std::string text = Ledger::format(holds);
  if (text.size() > Ledger::maximumSize)
    throw std::runtime_error("cannot write " + path() + ": the holds take more than 1 MiB");
  const auto place = HID::openLedgerPlace(true);
  if (const std::string why = replaceOwnFile(place.directory.get(), place.name, text); !why.empty())
    throw std::runtime_error("cannot write " + path() + ": " + why);
}

} // namespace FnRemapKit
