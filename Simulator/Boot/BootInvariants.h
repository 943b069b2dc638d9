// SPDX-License-Identifier: BSD-2-Clause-Patent
// What must hold after any boot, whatever the board's platform data: the
// judgement the boot fuzzer applies to every run, usable by other checks.
#pragma once

#include "Boot.h"

#include <string>
#include <vector>

namespace sim {

// The invariants a finished boot violated, one line each; empty when none.
// - no runaway: the boot did not end at its time budget (a fatal stop or
//   the dead-loop marker is a legitimate end);
// - the driver's entry point, when it returned, returned EFI_SUCCESS;
// - the S3 table was handed to SMM at most once, and every hand-off was
//   accepted by the handler (a valid table);
// - no pool misuse recorded by the core (freeing what was not allocated,
//   twice, or from the middle of a block; allocating an unmodelled type).
std::vector<std::string> bootInvariantViolations(const Simulation &simulation);

} // namespace sim
