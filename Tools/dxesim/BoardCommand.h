// SPDX-License-Identifier: BSD-2-Clause-Patent
// The `board` subcommand: the board a boot would use, once `extends` and
// removals are applied, printed as a board file that boots the same.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace dxesim {

struct BoardCommandOptions {
  std::string board; // empty: the reference board
  std::string out;   // empty or "-": standard output
};

CLI::App *addBoardSubcommand(CLI::App &app, BoardCommandOptions &options);
int boardCommand(const BoardCommandOptions &options);

} // namespace dxesim
