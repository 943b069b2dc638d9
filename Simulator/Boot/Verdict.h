// SPDX-License-Identifier: BSD-2-Clause-Patent
// The one verdict type every check, command and report uses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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

// A check's outcome a board states: a verdict, for checks that count
// (assertions, breakpoints, fatal stops, pool) how many, and why the board
// expects it.
struct Expectation {
  Expectation() = default;
  Expectation(Verdict verdict, std::optional<size_t> count, std::string reason = {})
      : verdict(verdict), count(count), reason(std::move(reason)) {}

  Verdict verdict = Verdict::Pass;
  std::optional<size_t> count;
  std::string reason; // "" when the board gives none (refused under --strict)
  std::string where;  // "FILE:LINE" of the entry, for messages; not part of the outcome
  bool operator==(const Expectation &other) const {
    return verdict == other.verdict && count == other.count && reason == other.reason;
  }
};

} // namespace sim
