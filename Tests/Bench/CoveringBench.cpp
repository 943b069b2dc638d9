// SPDX-License-Identifier: BSD-2-Clause-Patent
// How long a covering of a platform-sized matrix takes to make: 45 axes of
// 2 to 12 values for pairwise, 20 axes of 6 values for t3. Run by hand;
// numbers go into notes.
#include "Explore/Covering.h"

#include <benchmark/benchmark.h>

namespace {

void cover(benchmark::State &state, const sim::explore::CoveringShape &shape) {
  size_t rows = 0;
  for (auto _ : state) {
    sim::explore::CoveringArray array = sim::explore::coveringArray(shape);
    rows = array.rows.size();
    benchmark::DoNotOptimize(array);
  }
  state.counters["rows"] = static_cast<double>(rows);
}

void Pairwise45Dimensions(benchmark::State &state) {
  sim::explore::CoveringShape shape;
  for (size_t i = 0; i < 45; i++) {
    shape.values.push_back(2 + i * 7 % 11);
  }
  cover(state, shape);
}
BENCHMARK(Pairwise45Dimensions)->Unit(benchmark::kMillisecond);

void T3On20Dimensions(benchmark::State &state) {
  cover(state, {std::vector<size_t>(20, 6), 3, {}});
}
BENCHMARK(T3On20Dimensions)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
