// Micro-benchmarks of the growable array as the loader and the measurement
// use it: appending records of the size of a ResultRecord, then removing one
// in five walking from the end with remove_swap, then releasing.
#include <cstdint>

#include <benchmark/benchmark.h>

#include "results/results_file.h"
#include "support/dynarray.h"

namespace {

void BM_Append(benchmark::State& state) {
  const auto count = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    DynArray array = dynarray_create(sizeof(ResultRecord));
    const ResultRecord record{};
    for (std::uint32_t i = 0; i < count; ++i) dynarray_append(&array, &record);
    benchmark::DoNotOptimize(array.data);
    dynarray_release(array);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * count);
}
BENCHMARK(BM_Append)->Range(1 << 10, 1 << 22)->Unit(benchmark::kMicrosecond);

void BM_RemoveSwapEveryFifthFromTheEnd(benchmark::State& state) {
  const auto count = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    DynArray array = dynarray_create(sizeof(ResultRecord));
    const ResultRecord record{};
    for (std::uint32_t i = 0; i < count; ++i) dynarray_append(&array, &record);
    state.ResumeTiming();
    for (std::uint32_t index = array.count; index-- > 0;) {
      if (index % 5 == 0) dynarray_remove_swap(&array, index);
    }
    benchmark::DoNotOptimize(array.data);
    dynarray_release(array);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * count);
}
BENCHMARK(BM_RemoveSwapEveryFifthFromTheEnd)
    ->Range(1 << 10, 1 << 22)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
