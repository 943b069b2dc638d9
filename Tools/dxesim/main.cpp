// dxesim: boots a board with the driver on the simulated platform and shows
// what happened.
#include "Boot/Boot.h"
#include "Boot/Report.h"
#include "Boot/S3Report.h"
#include "Host/BoundedFile.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

namespace {

int boot(const std::string &boardPath, const std::string &jsonPath, bool trace, const std::string &image,
         const std::string &saveS3) {
  sim::Board board = boardPath.empty() ? sim::referenceBoard() : sim::loadBoardFile(boardPath);
  sim::Simulation simulation(board, image.empty() ? sim::defaultDriverImage() : image);

  std::fputs("== Console (UART 0x3F8)\n", stdout);
  simulation.onConsoleByte = [](char byte) { std::fputc(byte, stdout); };
  simulation.run();
  // The mirror, once the boot is over, each line marked as the second
  // UART's so that the two logs are told apart; the summary says whether
  // they match.
  std::fputs("\n== Console (UART 0x2F8)\n", stdout);
  const std::string &mirror = simulation.secondConsole().bytes();
  bool lineStart = true;
  for (char byte : mirror) {
    if (lineStart) {
      std::fputs("2F8| ", stdout);
    }
    std::fputc(byte, stdout);
    lineStart = byte == '\n';
  }
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
  if (!saveS3.empty()) {
    const sim::SmmCommunicationModel *smm = simulation.s3().smmCommunication();
    const sim::SmmCommunicateCall *handOff = smm != nullptr ? smm->lastAccepted() : nullptr;
    if (handOff == nullptr) {
      throw std::runtime_error(
          fmt::format("{}: not written, no S3 save table was handed off to SMM", saveS3));
    }
    std::ofstream out(saveS3, std::ios::binary);
    out.write(reinterpret_cast<const char *>(handOff->table.data()),
              static_cast<std::streamsize>(handOff->table.size()));
    if (!out) {
      throw std::runtime_error(fmt::format("{}: cannot be written", saveS3));
    }
  }
  // A halted machine is a result, but not a good one: scripts can tell.
  return simulation.outcome().halt ? 3 : 0;
}

// A table saved with --save-s3: the handler's reading of it. 0 when it
// would be accepted, 1 when not.
int decodeS3(const std::string &path) {
  std::vector<uint8_t> bytes = sim::readBoundedFile(path, sim::kMaxS3TableFileBytes);
  sim::S3TableDecode table = sim::decodeS3Table(bytes);
  std::cout << fmt::format("== S3 save table {} ({} bytes): {}\n", path, bytes.size(),
                           table.valid ? "valid" : "malformed");
  std::cout << sim::s3TableText(table, "  ");
  return table.valid ? 0 : 1;
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
  std::string saveS3, s3File;
  bootCommand->add_option("--save-s3", saveS3, "Write the S3 save table as handed off to SMM to this file");
  CLI::App *s3Command = app.add_subcommand("s3", "S3 save tables");
  s3Command->require_subcommand(1);
  CLI::App *decodeCommand = s3Command->add_subcommand("decode", "Decode a table saved with boot --save-s3");
  decodeCommand->add_option("FILE", s3File, "Saved table")->required();
  bootCommand->add_option("--image", image,
                          "Host image of the driver (default: KeshInitDxe.so beside dxesim)");

  CLI11_PARSE(app, argc, argv);
  try {
    if (*decodeCommand) {
      return decodeS3(s3File);
    }
    return boot(boardPath, jsonPath, trace, image, saveS3);
  } catch (const sim::BoardError &error) {
    std::cerr << "dxesim: " << error.what() << '\n';
    return 2;
  } catch (const std::exception &error) {
    std::cerr << "dxesim: " << error.what() << '\n';
    return 1;
  }
}
