// SPDX-License-Identifier: BSD-2-Clause-Patent
// A board as a board file: what `dxesim board` prints. The text stands
// alone (no extends), gives every setting, and boots the same machine.
#pragma once

#include "Board.h"

#include <string>

namespace sim {

std::string boardToml(const Board &board);

} // namespace sim
