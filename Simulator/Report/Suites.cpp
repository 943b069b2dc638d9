// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Report/Suites.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace sim::report {

namespace {

// The checks that say a boot never ended as a boot: the isolation's
// findings, and the halt check when the machine did halt.
bool bootStopped(const CheckResult &check, bool halted) {
  return check.name == "crash" || check.name == "sanitizer" || check.name == "hang" ||
         (check.name == "halt" && halted);
}

std::string expectationText(Verdict verdict, std::optional<size_t> count) {
  return count ? fmt::format("{} ({})", verdictName(verdict), *count) : std::string(verdictName(verdict));
}

// A dotted class name part: JUnit readers split class names at dots.
std::string classPart(std::string_view text) {
  std::string out;
  for (char c : text) {
    out += std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' ? c : '_';
  }
  return out.empty() ? "_" : out;
}

bool haltedBy(const explore::BootEffects &effects) {
  auto halt = std::find_if(effects.fields.begin(), effects.fields.end(),
                           [](const auto &field) { return field.first == "halt"; });
  return halt != effects.fields.end() && halt->second != "none";
}

SuiteBoot matrixSuite(const explore::MatrixBoot &boot, const std::string &classBase) {
  SuiteBoot suite;
  suite.name = fmt::format("case {}: {}", boot.index, boot.label);
  suite.classname = fmt::format("{}.case{}", classBase, boot.index);
  suite.checks = boot.verdicts;
  suite.halted = haltedBy(boot.effects);
  suite.error = boot.error;
  return suite;
}

} // namespace

CaseKind caseKind(const CheckResult &check, bool halted) {
  // As the boot's exit status counts them: a warning the board does not
  // expect is a warning whatever else it states.
  if (check.verdict == Verdict::Warn && (!check.expected || check.expected->verdict != Verdict::Warn)) {
    return CaseKind::Warning;
  }
  if (!check.asExpected()) {
    return bootStopped(check, halted) ? CaseKind::Error : CaseKind::Failure;
  }
  if (check.verdict == Verdict::Pass) {
    return CaseKind::Pass;
  }
  return check.expected ? CaseKind::Expected : CaseKind::NotApplicable;
}

CaseCounts &CaseCounts::operator+=(const CaseCounts &other) {
  tests += other.tests;
  failures += other.failures;
  errors += other.errors;
  skipped += other.skipped;
  warnings += other.warnings;
  return *this;
}

CaseCounts countCases(const SuiteBoot &suite, bool strict) {
  CaseCounts counts;
  if (!suite.error.empty()) {
    counts.tests = counts.errors = 1;
    return counts;
  }
  for (const CheckResult &check : suite.checks) {
    counts.tests++;
    switch (caseKind(check, suite.halted)) {
    case CaseKind::Pass:
      break;
    case CaseKind::Warning:
      counts.warnings++;
      counts.failures += strict ? 1 : 0;
      break;
    case CaseKind::Failure:
      counts.failures++;
      break;
    case CaseKind::Error:
      counts.errors++;
      break;
    case CaseKind::Expected:
    case CaseKind::NotApplicable:
      counts.skipped++;
      break;
    }
  }
  return counts;
}

CaseCounts countCases(const TestRun &run) {
  CaseCounts counts;
  for (const SuiteBoot &suite : run.suites) {
    counts += countCases(suite, run.strict);
  }
  return counts;
}

bool passed(const TestRun &run) {
  CaseCounts counts = countCases(run);
  return counts.failures == 0 && counts.errors == 0;
}

std::string caseMessage(const CheckResult &check) {
  if (check.expected && !check.asExpected()) {
    const Expectation &expected = *check.expected;
    return fmt::format("got {}, the board expects {}{}: {}", expectationText(check.verdict, check.count),
                       expectationText(expected.verdict, expected.count),
                       expected.reason.empty() ? "" : " (" + expected.reason + ")", check.reason);
  }
  return check.reason;
}

TestRun bootRun(const BootRecord &record, bool strict) {
  TestRun run;
  run.title = fmt::format("dxesim boot {}", record.boardSource);
  run.strict = strict;
  SuiteBoot suite;
  suite.name = record.boardName;
  suite.classname = "dxesim.boot." + classPart(record.boardName);
  suite.seconds = static_cast<double>(record.virtualTimeNs) / 1e9;
  suite.checks = record.checks;
  suite.halted = record.haltReason.has_value();
  run.suites.push_back(std::move(suite));
  return run;
}

TestRun sweepRun(const explore::SweepResult &result, bool strict) {
  TestRun run;
  run.title = fmt::format("dxesim sweep {}", result.source);
  run.strict = strict;
  std::string classBase = "dxesim.sweep." + classPart(result.board);
  auto suiteOf = [&](const explore::SweepBoot &boot, std::string name) {
    SuiteBoot suite;
    suite.name = std::move(name);
    suite.classname = classBase + (boot.failed.empty() ? ".unfailed" : fmt::format(".boot{}", boot.id));
    suite.checks = boot.verdicts;
    suite.halted = haltedBy(boot.effects);
    return suite;
  };
  run.suites.push_back(suiteOf(result.baseline, "unfailed boot"));
  for (const explore::SweepBoot &boot : result.boots) {
    std::vector<std::string> calls;
    for (const explore::SweepCall &call : boot.failed) {
      calls.push_back(fmt::format("{} #{} in {} {}", call.service, call.call, call.image, call.context));
    }
    run.suites.push_back(suiteOf(boot, fmt::format("boot {}: {}", boot.id, fmt::join(calls, " + "))));
  }
  return run;
}

TestRun matrixRun(const explore::MatrixResult &result, bool strict) {
  TestRun run;
  run.title = fmt::format("dxesim matrix {}", result.source);
  run.strict = strict;
  std::string classBase = "dxesim.matrix." + classPart(result.name);
  if (!result.boots.empty() || result.booted == 0) {
    for (const explore::MatrixBoot &boot : result.boots) {
      run.suites.push_back(matrixSuite(boot, classBase));
    }
    return run;
  }
  // Too many boots to keep each one's checks: one suite per outcome, its
  // lowest case standing for the boots that ended alike.
  for (const explore::MatrixOutcome &outcome : result.outcomes) {
    SuiteBoot suite = matrixSuite(outcome.example, classBase);
    suite.boots = outcome.cases.size();
    if (suite.boots > 1) {
      suite.name += fmt::format(" (and {} more boot(s) that ended alike)", suite.boots - 1);
    }
    run.suites.push_back(std::move(suite));
  }
  run.note = fmt::format("{} boots are more than the {} whose checks a report keeps: one suite per outcome, "
                         "its lowest case standing for the others (property \"boots\")",
                         result.booted, kMaxReportedMatrixBoots);
  return run;
}

} // namespace sim::report
