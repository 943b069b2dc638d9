// SPDX-License-Identifier: BSD-2-Clause-Patent
// A run of boots as test suites: what the JUnit and Markdown reports render,
// taken from the judged results the commands already hold (a boot record,
// a sweep's boots, a matrix's boots or outcomes). One case per check.
#pragma once

#include "Boot/Record.h"
#include "Explore/Matrix.h"
#include "Explore/Sweep.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim::report {

struct SuiteBoot {
  std::string name;      // the board, "boot 3: AllocatePool #2 in KeshInitDxe entry", "case 12: a=b"
  std::string classname; // "dxesim.boot.<board>", ...: what JUnit readers group cases by
  double seconds = 0;    // the boot's virtual time; 0 where the run keeps none
  std::vector<CheckResult> checks;
  bool halted = false; // the machine halted: the halt check failing is then an error
  std::string error;   // the boot could not be built or run
  size_t boots = 1;    // boots this suite stands for (a matrix outcome, past the kept boots)
};

struct TestRun {
  std::string title; // "dxesim boot boards/x.toml"
  std::vector<SuiteBoot> suites;
  bool strict = false; // an unexpected warning is a failure
  std::string note;    // what the reports leave out, said in them; "" when nothing
};

// How a check shows: a passing case, an unexpected warning (a passing case
// with output, a failure under --strict), a failure, an error (the boot did
// not end: halted, crashed, hung), or skipped (an outcome the board expects,
// or a check that does not apply).
enum class CaseKind : uint8_t { Pass, Warning, Failure, Error, Expected, NotApplicable };
CaseKind caseKind(const CheckResult &check, bool halted);

struct CaseCounts {
  size_t tests = 0, failures = 0, errors = 0, skipped = 0;
  size_t warnings = 0; // unexpected; among the failures under --strict
  CaseCounts &operator+=(const CaseCounts &other);
};
CaseCounts countCases(const SuiteBoot &suite, bool strict);
CaseCounts countCases(const TestRun &run);
// The run holds no failure or error (and, under --strict, no unexpected warning).
bool passed(const TestRun &run);

// "got pass, the board expects warn: why": the failure text of an outcome
// the board states otherwise; the check's reason for an unstated failure.
std::string caseMessage(const CheckResult &check);

// A matrix run keeps each boot's checks for the reports up to this many
// boots; past it the reports show one suite per outcome.
constexpr size_t kMaxReportedMatrixBoots = 10000;

TestRun bootRun(const BootRecord &record, bool strict);
TestRun sweepRun(const explore::SweepResult &result, bool strict);
TestRun matrixRun(const explore::MatrixResult &result, bool strict);

} // namespace sim::report
