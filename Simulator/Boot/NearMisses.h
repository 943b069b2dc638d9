// SPDX-License-Identifier: BSD-2-Clause-Patent
// What a board gives that no image asked for, and the attribute values no
// image acts on: a board that misspells "UsbPorts" otherwise boots as if it
// had set nothing, and nothing says why.
#pragma once

#include "Record.h"

namespace sim {

// From the board and the boot's lookups and calls; in the board's order:
// attributes, variables, platform protocols, then values.
std::vector<NearMissRecord> findNearMisses(const Board &board, const BootRecord &record);

} // namespace sim
