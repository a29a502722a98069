// SPDX-License-Identifier: Apache-2.0
// Reading the ledger, which happens under the lock at every begin, end and
// guard's release: one hold whose entry has N keys, up to the 80,000 that
// fit in 1 MiB, in the writer's order and reversed. Linear in N; the 80,000
// keys in under 50 ms.
#include "ledger/LedgerFormat.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace FnRemapKit;

namespace {

std::string ledgerText(std::int64_t keys, bool writersOrder) {
  std::vector<std::string> names;
  for (std::int64_t i = 0; i < keys; ++i) {
    std::string name;
    for (auto n = i; name.empty() || n > 0; n /= 36)
      name += "0123456789abcdefghijklmnopqrstuvwxyz"[n % 36];
    names.push_back(name);
  }
  std::ranges::sort(names);
  if (!writersOrder)
    std::ranges::reverse(names);
  std::string text = R"({"version": 1, "holds": [{"application": {"pid": 2, "start": 3}, )"
                     R"("guard": {"pid": 4, "start": 5}, "boot": "b", "entry": {)";
  for (std::size_t i = 0; i < names.size(); ++i)
    text += (i ? ", \"" : "\"") + names[i] + "\": " + std::to_string(i % 1000);
  return text + "}}], \"displaced\": []}";
}

void BM_parseLedger(benchmark::State &state) {
  const auto text = ledgerText(state.range(0), state.range(1) != 0);
  if (text.size() > Ledger::maximumSize || Ledger::parse(text).state != KeyMappingLedger::Loaded::State::read) {
    state.SkipWithError("the ledger is not one this version reads");
    return;
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(Ledger::parse(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetComplexityN(state.range(0));
}

} // namespace

BENCHMARK(BM_parseLedger)
    ->ArgNames({"keys", "writersOrder"})
    ->ArgsProduct({{10000, 20000, 40000, 80000}, {1}})
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_parseLedger)->ArgNames({"keys", "writersOrder"})->Args({80000, 0})->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
