// SPDX-License-Identifier: BSD-2-Clause-Patent
// The one registry of named checks, judged from a boot record alone: what a
// platform security or bring-up engineer asks of every boot
// (docs/CHECKS.md). `dxesim boot`, the sweep, the matrix and the fuzz
// targets all judge with all of it.
#pragma once

#include "Record.h"

#include <string_view>
#include <vector>

namespace sim {

struct CheckInfo {
  std::string_view name;
  // The driver routines whose work the check judges: an injected failure in
  // one of them decides the outcome, and the failure-path check judges that.
  std::vector<std::string_view> routines;
  bool counts = false;   // states a count: [expect] may give one
  bool anyBoard = false; // holds whatever the board's data: a failure is the driver's or the platform model's
};

// The checks, in the order they run and are reported.
const std::vector<CheckInfo> &checks();
const std::vector<std::string_view> &checkNames();
const CheckInfo &checkInfo(std::string_view name); // throws std::logic_error for no check

// Refuses an [expect] entry that names no check, or a count for a check that
// counts nothing (BoardError).
void validateExpectations(const Board &board);

// Under --strict: refuses (BoardError, naming the entry's file and line and
// the check) an [expect] entry that does not say why.
void refuseUnexplainedExpectations(const Board &board);

// Judges the record; each result carries the board's expectation.
std::vector<CheckResult> runChecks(const BootRecord &record, const Board &board);
// Judges the record with one check, without expectations (tests that
// change a record and see the check catch it).
CheckResult runCheck(const BootRecord &record, std::string_view name);

} // namespace sim
