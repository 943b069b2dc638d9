// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim ovmf: the OVMF fixture's configuration for a board, and the
// simulator's run of the board's OVMF twin.
#pragma once
#include <CLI/CLI.hpp>

// Adds the subcommand; when given, it runs during parsing and exits.
void registerOvmfCommand(CLI::App &app);
