// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "BoardCommand.h"

#include "Board/BoardPrint.h"
#include "ExitStatus.h"
#include "Host/OutputFile.h"

namespace dxesim {

CLI::App *addBoardSubcommand(CLI::App &app, BoardCommandOptions &options) {
  CLI::App *command = app.add_subcommand(
      "board",
      "Print the board a boot uses, extends and removals applied, as a board file that stands alone");
  command->add_option("BOARD", options.board, "Board file (default: the reference board)");
  command->add_option("-o,--output", options.out, "Write the board to this file (default: standard output)");
  return command;
}

int boardCommand(const BoardCommandOptions &options) {
  sim::Board board = options.board.empty() ? sim::referenceBoard() : sim::loadBoardFile(options.board);
  sim::writeOutput(options.out.empty() ? "-" : options.out, sim::boardToml(board), "board");
  return kExitOk;
}

} // namespace dxesim
