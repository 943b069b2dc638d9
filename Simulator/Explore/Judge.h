// SPDX-License-Identifier: BSD-2-Clause-Patent
// Many boots, one judgement: every explored boot is judged by the whole
// registry of checks (Boot/Checks) through its record, and summarised by
// the effects a person would compare between two boots.
#pragma once

#include "Boot/Boot.h"
#include "Boot/Record.h"

#include <nlohmann/json.hpp>

#include <string>
#include <utility>
#include <vector>

namespace sim::explore {

// A check outcome the board does not expect: a failure, or a verdict other
// than the one it states.
bool unexpected(const CheckResult &check);
// Whether any outcome is unexpected.
bool violation(const std::vector<CheckResult> &checks);

// What a boot did that a person would look at, as named fields in a fixed
// order (SPI lock, USB and hub, SATA, PCD, runtime MMIO, S3 hand-off and
// resume, halt, entry), plus its assertion reports and core diagnostics,
// all read from its record.
struct BootEffects {
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::string> assertions; // "File(line): expression"
  std::vector<std::string> diagnostics;
  bool operator==(const BootEffects &) const = default;
};
BootEffects captureEffects(const BootRecord &record);
// "spi: locked -> protected", "assertions added: File(12): !EFI_ERROR (Status)", ...
std::vector<std::string> describeChanges(const BootEffects &before, const BootEffects &after);

// Check outcomes as they travel from a child process: name, verdict,
// reason, count and the board's expectation.
nlohmann::json toJson(const CheckResult &check);
nlohmann::json toJson(const std::vector<CheckResult> &checks);
std::vector<CheckResult> checksFromJson(const nlohmann::json &json);
nlohmann::json toJson(const BootEffects &effects);
BootEffects effectsFromJson(const nlohmann::json &json);

} // namespace sim::explore
