// SPDX-License-Identifier: BSD-2-Clause-Patent
// The bodies of the fuzz targets, as plain functions: libFuzzer calls them
// with generated inputs (Fuzz*.cpp entry points), the regression test with
// the saved reproducers. Each returns the invariants the input broke; a
// crash or a sanitizer report is a finding by itself.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {
class Simulation;
}

namespace fuzz {

using Findings = std::vector<std::string>;

// TOML text becomes a board, or one clean BoardError line.
Findings boardText(std::span<const uint8_t> input);
// A matrix file, and the boards it generates: clean errors, exact names.
Findings matrixText(std::span<const uint8_t> input);
// A board's OVMF twin and configuration block: within its arrays, the same every time.
Findings ovmfConfig(std::span<const uint8_t> input);
// NUL-separated arguments of dxesim, read and checked but not run: 0 or 64.
Findings commandLine(std::span<const uint8_t> input);
// A saved S3 table is decoded; what the decoder calls valid is consistent.
Findings s3Table(std::span<const uint8_t> input);
// AsciiVSPrint with a generated format, buffer size and argument slots.
Findings print(std::span<const uint8_t> input);
// The error-level library's HOB walk over generated HOB-list bytes.
Findings hobWalk(std::span<const uint8_t> input);
// A whole boot of the reference board with generated platform data,
// judged by bootFindings.
Findings boot(std::span<const uint8_t> input);
// The invariants every explored boot keeps (sim::explore::invariants) that
// a finished boot broke. A fatal stop or the dead-loop marker is a
// legitimate end under hostile data; running out of time is not.
Findings bootFindings(sim::Simulation &simulation);

// The boot target's input as the board file it boots (replayable with
// `dxesim boot`).
std::string boardFromBytes(std::span<const uint8_t> input);

} // namespace fuzz
