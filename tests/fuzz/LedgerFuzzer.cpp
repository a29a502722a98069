// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes to the ledger's reader. What it reads must come
// back the same through the writer and the reader again, be a JSON document
// with as many holds and displaced entries (nlohmann's reading, which also
// holds it to UTF-8), and be fit for the stand-in's list writer; it is
// newer exactly when the text starts with a version above 1. Any
// disagreement aborts.
#include "hid/KeyMappingShape.hpp"
#include "hid/StateFile.hpp"
#include "ledger/LedgerFormat.hpp"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <string_view>

using namespace FnRemapKit;
using State = KeyMappingLedger::Loaded::State;

namespace {

[[noreturn]] void disagree(const char *what) {
  std::fprintf(stderr, "ledger-fuzzer: %s\n", what);
  std::abort();
}

/// The version's digits when the text starts {"version": N, with N an
/// integer that no '.', 'e' or 'E' follows; empty otherwise.
std::string_view startingVersion(std::string_view text) {
  const auto blanks = [&] { text.remove_prefix(std::min(text.find_first_not_of(" \t\n\r"), text.size())); };
  const auto literal = [&](std::string_view word) {
    blanks();
    return text.starts_with(word) ? (text.remove_prefix(word.size()), true) : false;
  };
  if (!literal("{") || !literal("\"version\"") || !literal(":"))
    return {};
  blanks();
  const std::size_t sign = text.starts_with('-'), end = std::min(text.find_first_not_of("0123456789", sign), text.size());
  const auto digits = text.substr(0, end);
  if (end == sign || (text[sign] == '0' && end > sign + 1) || (end < text.size() && std::string_view(".eE").find(text[end]) != std::string_view::npos))
    return {};
  return digits;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  const auto loaded = Ledger::parse(text);
  const auto version = startingVersion(text);
  const bool later = !version.empty() && version.front() != '-' && version != "0" && version != "1";
  if ((loaded.state == State::newer) != later)
    disagree(later ? "took a later version's ledger for damaged" : "took a text for a later version's");
  if (loaded.state != State::read)
    return 0;
  if (version != "1" || size > Ledger::maximumSize)
    disagree("read what is no ledger of version 1");
  const auto &holds = loaded.holds;
  const auto again = Ledger::parse(Ledger::format(holds));
  if (again.state != State::read || again.holds != holds || Ledger::format(again.holds) != Ledger::format(holds))
    disagree("holds changed on the way through a write");
  const auto document = nlohmann::json::parse(text, nullptr, false);
  if (document.is_discarded())
    disagree("read what is no JSON, or not UTF-8");
  std::size_t displaced = 0;
  for (const auto &source : document["displaced"])
    displaced += source["entries"].size();
  KeyMappingList entries;
  for (const auto &hold : holds.holds)
    entries.push_back(hold.entry);
  for (const auto &[source, list] : holds.displaced)
    entries.insert(entries.end(), list.begin(), list.end());
  if (document["holds"].size() != holds.holds.size() || entries.size() != holds.holds.size() + displaced)
    disagree("read other holds than the document's");
  if (!HID::formatStateFile(HID::encodeKeyMappingList(entries)))
    disagree("read an entry that no list would take");
  return 0;
}
