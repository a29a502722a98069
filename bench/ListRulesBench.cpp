// SPDX-License-Identifier: Apache-2.0
// Cost of the list rules and of the guard's removal as the list grows, and
// of the whole removal over the stand-in for a long list.
#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/HIDKeyMappingStore.hpp"

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>

using namespace FnRemapKit;

namespace {

const KeyMappingEntry ours =
    FnRemapMapping::entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);

// Two copies of ours, one near each end, among unrelated entries.
KeyMappingList makeList(std::int64_t size) {
  KeyMappingList list;
  for (std::int64_t i = 0; i < size; ++i)
    list.push_back(i == 1 || i == size - 2 ? ours : FnRemapMapping::entry(i, i + 1));
  return list;
}

// Keeps its list in memory and answers like a healthy system.
class MemoryStore {
public:
  explicit MemoryStore(KeyMappingList list)
      : list(std::make_shared<KeyMappingList>(std::move(list))) {}
  std::optional<KeyMappingList> read() const { return *list; }
  bool write(const KeyMappingList &replacement) const noexcept {
    try {
      *list = replacement;
      return true;
    } catch (...) {
      return false;
    }
  }

private:
  std::shared_ptr<KeyMappingList> list;
};

void BM_removeOurs(benchmark::State &state) {
  const auto list = makeList(state.range(0));
  for (auto _ : state) {
    MemoryStore store(list);
    benchmark::DoNotOptimize(FnGuard::removeOurs(ours, store));
  }
  state.SetComplexityN(state.range(0));
}

void BM_merging(benchmark::State &state) {
  const auto list = makeList(state.range(0));
  for (auto _ : state)
    benchmark::DoNotOptimize(FnRemapMapping::merging(list, ours));
  state.SetComplexityN(state.range(0));
}

void BM_restoring(benchmark::State &state) {
  const auto original = makeList(state.range(0));
  const auto current = FnRemapMapping::merging(original, ours);
  for (auto _ : state)
    benchmark::DoNotOptimize(FnRemapMapping::restoring(current, ours, original));
  state.SetComplexityN(state.range(0));
}

#if !defined(__APPLE__)
// The guard's whole removal over the stand-in (read, write, verifying read)
// from a list with our entry in the middle, the state on a tmpfs.
void BM_removeOursFromStandIn(benchmark::State &state) {
  std::string directory = "/dev/shm/list-rules.XXXXXX";
  if (!::mkdtemp(directory.data())) {
    state.SkipWithError("cannot make a state directory in /dev/shm");
    return;
  }
  ::setenv("TARNWICK_HID_STATE_DIR", directory.c_str(), 1);
  auto list = makeList(state.range(0));
  list.erase(list.begin() + 1);
  list.erase(list.end() - 2);
  list.insert(list.begin() + state.range(0) / 2, ours);
  const HIDKeyMappingStore store;
  for (auto _ : state) {
    state.PauseTiming();
    if (!store.write(list))
      state.SkipWithError("the stand-in refused the list");
    state.ResumeTiming();
    if (FnGuard::removeOurs(ours, store) != FnGuardOutcome::removed())
      state.SkipWithError("not removed");
  }
  std::filesystem::remove_all(directory);
}
BENCHMARK(BM_removeOursFromStandIn)->Arg(200'000)->Unit(benchmark::kMillisecond);
#endif

} // namespace

BENCHMARK(BM_removeOurs)->RangeMultiplier(10)->Range(10, 100'000)->Complexity();
BENCHMARK(BM_merging)->RangeMultiplier(10)->Range(10, 100'000)->Complexity();
BENCHMARK(BM_restoring)->RangeMultiplier(10)->Range(10, 100'000)->Complexity();
BENCHMARK_MAIN();
