// SPDX-License-Identifier: BSD-2-Clause-Patent
// The one verdict type every check, command and report uses.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sim {

enum class Verdict : uint8_t { Pass, Fail, Warn, NotApplicable };

inline constexpr Verdict kVerdicts[] = {Verdict::Pass, Verdict::Fail, Verdict::Warn, Verdict::NotApplicable};

// "pass", "fail", "warn", "not-applicable": the names boards and reports use.
constexpr std::string_view verdictName(Verdict verdict) {
  switch (verdict) {
  case Verdict::Pass:
    return "pass";
  case Verdict::Fail:
    return "fail";
  case Verdict::Warn:
    return "warn";
  case Verdict::NotApplicable:
    return "not-applicable";
  }
  return "?";
}

constexpr std::optional<Verdict> parseVerdict(std::string_view name) {
  for (Verdict verdict : kVerdicts) {
    if (verdictName(verdict) == name) {
      return verdict;
    }
  }
  return std::nullopt;
}

// A check's outcome a board states: a verdict, and for checks that count
// (assertions, breakpoints, fatal stops, pool), how many.
struct Expectation {
  Verdict verdict = Verdict::Pass;
  std::optional<size_t> count;
  bool operator==(const Expectation &) const = default;
};

} // namespace sim
