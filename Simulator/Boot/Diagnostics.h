// SPDX-License-Identifier: BSD-2-Clause-Patent
// The platform side of the driver's diagnostics: CMOS, the Super I/O and
// the two console UARTs, the HOB lists that may carry the error level, and
// what the console did in a boot.
#pragma once

#include "Record.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

// A HOB list as an earlier boot phase hands it over: the handoff HOB, one
// GUID HOB per entry, the end HOB. The handoff HOB names the end HOB by
// address, so sealHobList() must be called once the bytes no longer move.
std::vector<uint8_t> buildHobList(const std::vector<BoardHob> &hobs);
void sealHobList(std::vector<uint8_t> &list);

// What the console did in a boot: the boot record's part.
using ConsoleSummary = ConsoleRecord;
ConsoleSummary consoleSummary(const Simulation &simulation);

} // namespace sim
