// SPDX-License-Identifier: BSD-2-Clause-Patent
// A boot's behaviour as canonical JSON, for golden files and for comparing
// two builds: verdicts, console lines, hardware accesses, service calls and
// the platform state the boot left, with nothing in it that moves when the
// behaviour does not (virtual times, trace positions, host addresses).
#pragma once

#include "Record.h"

#include <nlohmann/json.hpp>
#include <string>

namespace sim {

// The version of the golden record's shape.
constexpr int kGoldenFormat = 1;

// The record's behaviour; the hardware list needs a boot made with
// SimulationOptions::recordHardware.
nlohmann::json goldenRecord(const BootRecord &record);

// Sorted keys; the top object and its objects one key a line, arrays one
// element a line, anything deeper on that line: a change to the boot is a
// change to the lines it touches.
std::string canonicalJson(const nlohmann::json &value);

} // namespace sim
