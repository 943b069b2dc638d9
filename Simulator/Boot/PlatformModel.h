// SPDX-License-Identifier: BSD-2-Clause-Patent
// What every check must conclude on a board, from the board alone: its
// firmware tables, GCD map, SPI base register, dies, identity protocol,
// UARTs, PCI configuration window and the order of the platform's steps,
// read as the platform's rules state them. It shares nothing with the
// driver's code or with the checks', so a boot whose verdicts differ from
// it shows a fault in one of the three.
#pragma once

#include "Board/Board.h"
#include "Verdict.h"

#include <map>
#include <string>

namespace sim {

struct Prediction {
  Expectation outcome;
  std::string why;
};

// Check name -> the verdict (and count, for the counting checks) it must
// reach. Checks the board's facts do not decide are left out.
std::map<std::string, Prediction, std::less<>> predictChecks(const Board &board);

} // namespace sim
