// SPDX-License-Identifier: BSD-2-Clause-Patent
// Judging a boot: named checks with verdicts, the invariants every boot
// must keep, and the observable effects of a boot that two boots are
// compared by.
#pragma once

#include "Boot/Boot.h"
#include "Boot/Record.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sim::explore {

// verdict: "pass", "fail", "warn" or "not-applicable".
struct Verdict {
  std::string check;
  std::string verdict;
  std::string reason;
  bool operator==(const Verdict &) const = default;
};

// Judges one finished boot. A boot fails when any verdict is "fail".
using Judge = std::function<std::vector<Verdict>(Simulation &)>;

bool failed(const std::vector<Verdict> &verdicts);
// The verdicts of all judges, in order.
Judge combineJudges(std::vector<Judge> judges);

// The invariants every boot keeps, whatever the board:
// - entry: the driver's entry returned EFI_SUCCESS;
// - halt: the machine did not halt (fatal stop, dead loop, time budget);
// - pool: no use after free, double free or free of a pointer the pool
//   never handed out, and no allocation of a type the pool does not model;
// - s3.handoff: the S3 save table reached the SMM handler at most once and
//   every hand-off was accepted (not malformed);
// - events: no event of a group ran its notify function more than once
//   (a warning: it is harmful only when the notify does work twice, which
//   the other checks see).
std::vector<Verdict> invariants(Simulation &simulation);
// The invariants as a judge. The sweep and the matrix always apply the
// invariants and take a judge for further checks.
Judge defaultJudge();

// What a boot did that a person would look at, as named fields in a fixed
// order (SPI lock, USB and hub, SATA, PCD, runtime MMIO, S3 hand-off and
// resume, halt, entry), plus its assertion reports and core diagnostics.
struct BootEffects {
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::string> assertions; // "File(line): expression"
  std::vector<std::string> diagnostics;
  bool operator==(const BootEffects &) const = default;
};
BootEffects captureEffects(Simulation &simulation);
// "spi: locked -> protected", "assertions added: File(12): !EFI_ERROR (Status)", ...
std::vector<std::string> describeChanges(const BootEffects &before, const BootEffects &after);
// Assertion reports of `after` that `before` does not have (as a multiset).
std::vector<std::string> addedAssertions(const BootEffects &before, const BootEffects &after);

nlohmann::json toJson(const Verdict &verdict);
nlohmann::json toJson(const std::vector<Verdict> &verdicts);
std::vector<Verdict> verdictsFromJson(const nlohmann::json &json);
nlohmann::json toJson(const BootEffects &effects);
BootEffects effectsFromJson(const nlohmann::json &json);

} // namespace sim::explore
