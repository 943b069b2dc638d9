// SPDX-License-Identifier: BSD-2-Clause-Patent
// How long the simulator takes to boot the reference board in-process:
// with full logging, at error level 0 (the console stays quiet), without
// the access trace, and with the busy-wait fast path off for comparison.
// Run by hand; numbers go into notes.
#include "Board/Board.h"
#include "Boot/Boot.h"

#include <benchmark/benchmark.h>

namespace {

const std::string kImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";

void bootLoop(benchmark::State &state, const sim::Board &board, const sim::SimulationOptions &options) {
  size_t traceEntries = 0;
  for (auto _ : state) {
    sim::Simulation simulation(board, kImage, options);
    benchmark::DoNotOptimize(simulation.run());
    traceEntries = simulation.machine().trace().size();
  }
  state.counters["trace entries"] = static_cast<double>(traceEntries);
  state.counters["boots/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

sim::Board quietBoard() {
  sim::Board board = sim::referenceBoard();
  for (unsigned i = 0; i < 4; i++) {
    board.cmos[sim::kCmosErrorLevel + i] = 0;
  }
  return board;
}

void FullLogging(benchmark::State &state) {
  bootLoop(state, sim::referenceBoard(), {});
}
BENCHMARK(FullLogging)->Unit(benchmark::kMicrosecond);

void ErrorLevel0(benchmark::State &state) {
  bootLoop(state, quietBoard(), {});
}
BENCHMARK(ErrorLevel0)->Unit(benchmark::kMicrosecond);

void NoTrace(benchmark::State &state) {
  bootLoop(state, sim::referenceBoard(), sim::SimulationOptions{.fastPolls = true, .trace = false});
}
BENCHMARK(NoTrace)->Unit(benchmark::kMicrosecond);

void ErrorLevel0NoTrace(benchmark::State &state) {
  bootLoop(state, quietBoard(), sim::SimulationOptions{.fastPolls = true, .trace = false});
}
BENCHMARK(ErrorLevel0NoTrace)->Unit(benchmark::kMicrosecond);

// The trace grown as the boot goes instead of sized for a whole boot.
void FullLoggingTraceGrown(benchmark::State &state) {
  bootLoop(state, sim::referenceBoard(), sim::SimulationOptions{.traceReserve = 0});
}
BENCHMARK(FullLoggingTraceGrown)->Unit(benchmark::kMicrosecond);

void FullLoggingEveryPoll(benchmark::State &state) {
  bootLoop(state, sim::referenceBoard(), sim::SimulationOptions{.fastPolls = false});
}
BENCHMARK(FullLoggingEveryPoll)->Unit(benchmark::kMicrosecond);

// Reading the built-in reference board, as every start of dxesim does
// (once per process: later uses copy what was read).
void ReferenceBoardParse(benchmark::State &state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(sim::parseBoardToml(sim::referenceBoardToml(), "reference"));
  }
}
BENCHMARK(ReferenceBoardParse)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
