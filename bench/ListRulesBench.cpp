// Cost of the list rules and of the guard's removal as the list grows.
#include "FnRemapKit/FnGuard.hpp"

#include <benchmark/benchmark.h>

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

} // namespace

BENCHMARK(BM_removeOurs)->RangeMultiplier(10)->Range(10, 100'000)->Complexity();
BENCHMARK(BM_merging)->RangeMultiplier(10)->Range(10, 100'000)->Complexity();
BENCHMARK(BM_restoring)->RangeMultiplier(10)->Range(10, 100'000)->Complexity();
BENCHMARK_MAIN();
