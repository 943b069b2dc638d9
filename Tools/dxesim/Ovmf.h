// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim ovmf: the OVMF fixture's configuration for a board, and the
// simulator's run of the board's OVMF twin.
#pragma once

#include "Board/Board.h"

#include <CLI/CLI.hpp>
#include <OvmfFixtureDxe/FixtureConfig.h>

#include <string>
#include <vector>

namespace dxesim {

struct OvmfCommandOptions {
  std::string board, config, json, image;
};

// The board as OVMF runs it, and the fixture's configuration block.
struct OvmfTwin {
  sim::Board board;
  KESH_OVMF_CONFIG config{};
  std::vector<std::string> refusals; // what OVMF cannot give; not empty: no configuration
  std::vector<std::string> changes;  // how the twin differs from the board
};

OvmfTwin makeOvmfTwin(const sim::Board &board);

CLI::App *addOvmfSubcommand(CLI::App &app, OvmfCommandOptions &options);
// Exit status 2 when OVMF cannot give the board.
int ovmfCommand(const OvmfCommandOptions &options);

} // namespace dxesim
