// dxesim: boots a board with the driver on the simulated platform and shows
// what happened.
#include "Boot/Boot.h"
#include "Boot/Report.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>
#include <fstream>
#include <iostream>

namespace {

int boot(const std::string &boardPath, const std::string &jsonPath, bool trace, const std::string &image) {
  sim::Board board = boardPath.empty() ? sim::referenceBoard() : sim::loadBoardFile(boardPath);
  sim::Simulation simulation(board, image.empty() ? sim::defaultDriverImage() : image);

  std::fputs("== Console (UART 0x3F8)\n", stdout);
  simulation.onConsoleByte = [](char byte) { std::fputc(byte, stdout); };
  simulation.run();
  std::fflush(stdout);

  std::cout << "\n" << sim::textSummary(simulation);
  if (trace) {
    std::cout << "-- access trace\n" << sim::textTrace(simulation.machine());
  }
  if (!jsonPath.empty()) {
    std::ofstream out(jsonPath);
    if (!out) {
      throw std::runtime_error(fmt::format("{}: cannot be written", jsonPath));
    }
    out << sim::jsonReport(simulation).dump(2) << '\n';
  }
  // A halted machine is a result, but not a good one: scripts can tell.
  return simulation.outcome().halt ? 3 : 0;
}

} // namespace

int main(int argc, char **argv) {
  CLI::App app{"Boots the Kesh hub driver on a simulated DXE platform.\n"
               "Exit status: 0 boot completed, 1 error, 2 bad board file, 3 machine halted."};
  app.require_subcommand(1);

  std::string boardPath, jsonPath, image;
  bool trace = false;
  CLI::App *bootCommand = app.add_subcommand("boot", "Boot a board file (default: the reference board)");
  bootCommand->add_option("BOARD", boardPath, "Board file (TOML)");
  bootCommand->add_option("--json", jsonPath, "Also write the report as JSON to this file");
  bootCommand->add_flag("--trace", trace, "Print the hardware access trace");
  bootCommand->add_option("--image", image,
                          "Host image of the driver (default: KeshInitDxe.so beside dxesim)");

  CLI11_PARSE(app, argc, argv);
  try {
    return boot(boardPath, jsonPath, trace, image);
  } catch (const sim::BoardError &error) {
    std::cerr << "dxesim: " << error.what() << '\n';
    return 2;
  } catch (const std::exception &error) {
    std::cerr << "dxesim: " << error.what() << '\n';
    return 1;
  }
}
