// SPDX-License-Identifier: BSD-2-Clause-Patent
// Named checks with verdicts, judged from a boot record: what a platform
// security or bring-up engineer asks of every boot (docs/CHECKS.md).
#pragma once

#include "Record.h"

#include <string_view>
#include <vector>

namespace sim {

// The checks, in the order they run and are reported.
const std::vector<std::string_view> &checkNames();
bool isVerdict(std::string_view verdict);

// Refuses an [expect] entry that names no check or no verdict (BoardError).
void validateExpectations(const Board &board);

// Judges the record; each result carries the board's expected verdict.
std::vector<CheckResult> runChecks(const BootRecord &record, const Board &board);

} // namespace sim
