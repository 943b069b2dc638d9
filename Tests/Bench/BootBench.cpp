// How long the simulator takes: a whole reference boot, and the fatal
// stop's 15 virtual seconds of display. Run by hand; numbers go into notes.
#include "Board/Board.h"
#include "Boot/Boot.h"

#include <benchmark/benchmark.h>

namespace {

const std::string kImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";

void ReferenceBoot(benchmark::State &state) {
  sim::Board board = sim::referenceBoard();
  for (auto _ : state) {
    sim::Simulation simulation(board, kImage);
    benchmark::DoNotOptimize(simulation.run());
  }
}
BENCHMARK(ReferenceBoot)->Unit(benchmark::kMillisecond);

void BootWithoutTrace(benchmark::State &state) {
  sim::Board board = sim::referenceBoard();
  for (auto _ : state) {
    sim::Simulation simulation(board, kImage);
    simulation.machine().setTraceEnabled(false);
    benchmark::DoNotOptimize(simulation.run());
  }
}
BENCHMARK(BootWithoutTrace)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
