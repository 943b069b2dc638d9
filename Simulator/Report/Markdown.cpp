// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Report/Markdown.h"

#include <fmt/format.h>

#include <functional>

namespace sim::report {

namespace {

// A comment stays readable: a run of a million boots lists the first rows.
constexpr size_t kMaxRows = 200;

struct Row {
  const SuiteBoot *suite;
  const CheckResult *check;
  CaseKind kind;
};

std::string expectationCell(const CheckResult &check, CaseKind kind) {
  if (kind == CaseKind::Expected) {
    return "yes";
  }
  if (check.expected) {
    return fmt::format("no: the board expects {}", verdictName(check.expected->verdict));
  }
  return "no";
}

std::string suiteCell(const SuiteBoot &suite) {
  return suite.boots > 1 ? fmt::format("{} ({} boots)", suite.name, suite.boots) : suite.name;
}

void table(std::string &out, const std::vector<Row> &rows, const std::string &header,
           const std::function<std::string(const Row &)> &cells) {
  out += header;
  for (size_t i = 0; i < rows.size() && i < kMaxRows; i++) {
    out += cells(rows[i]);
  }
  if (rows.size() > kMaxRows) {
    out += fmt::format("\nand {} more.\n", rows.size() - kMaxRows);
  }
}

} // namespace

std::string markdownCell(std::string_view text) {
  std::string out;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      out += byte == '\n' || byte == '\t' ? std::string(" ") : fmt::format("\\x{:02X}", byte);
    } else if (c == '&') {
      out += "&amp;";
    } else if (std::string_view("\\|*_`[]<>#~").find(c) != std::string_view::npos) {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out;
}

std::string markdownSummary(const TestRun &run) {
  CaseCounts counts = countCases(run);
  std::vector<Row> notPassed, expected;
  size_t boots = 0;
  for (const SuiteBoot &suite : run.suites) {
    boots += suite.boots;
    for (const CheckResult &check : suite.checks) {
      CaseKind kind = caseKind(check, suite.halted);
      if (kind == CaseKind::Expected) {
        expected.push_back({&suite, &check, kind});
      }
      if (kind == CaseKind::Warning || kind == CaseKind::Failure || kind == CaseKind::Error ||
          (kind == CaseKind::Expected && check.verdict != Verdict::NotApplicable)) {
        notPassed.push_back({&suite, &check, kind});
      }
    }
  }
  std::string out = fmt::format("## {}: {}\n\n", markdownCell(run.title), passed(run) ? "passed" : "FAILED");
  size_t errorBoots = 0;
  for (const SuiteBoot &suite : run.suites) {
    errorBoots += suite.error.empty() ? 0 : 1;
  }
  out +=
      fmt::format("{} boot(s), {} check(s): {} failed, {} error(s), {} unexpected warning(s){}, {} skipped "
                  "({} expected by the board, the rest not applicable)",
                  boots, counts.tests, counts.failures, counts.errors, counts.warnings,
                  run.strict ? " (failures under --strict)" : "", counts.skipped, expected.size());
  out += errorBoots != 0 ? fmt::format("; {} boot(s) could not be built or run.\n", errorBoots) : ".\n";
  if (!run.note.empty()) {
    out += fmt::format("\n{}.\n", markdownCell(run.note));
  }
  for (const SuiteBoot &suite : run.suites) {
    if (!suite.error.empty()) {
      out += fmt::format("\n- {}: {}\n", markdownCell(suiteCell(suite)), markdownCell(suite.error));
    }
  }
  if (!notPassed.empty()) {
    table(out, notPassed,
          "\n| Boot | Check | Verdict | Reason | Expected |\n| --- | --- | --- | --- | --- |\n",
          [](const Row &row) {
            return fmt::format("| {} | {} | {} | {} | {} |\n", markdownCell(suiteCell(*row.suite)),
                               markdownCell(row.check->name),
                               row.kind == CaseKind::Error ? "error" : verdictName(row.check->verdict),
                               markdownCell(caseMessage(*row.check)),
                               markdownCell(expectationCell(*row.check, row.kind)));
          });
  }
  if (!expected.empty()) {
    out += fmt::format("\n<details>\n<summary>{} outcome(s) the boards expect</summary>\n", expected.size());
    table(out, expected, "\n| Boot | Check | Verdict | Why |\n| --- | --- | --- | --- |\n",
          [](const Row &row) {
            const std::string &why = row.check->expected->reason;
            return fmt::format("| {} | {} | {} | {} |\n", markdownCell(suiteCell(*row.suite)),
                               markdownCell(row.check->name), verdictName(row.check->verdict),
                               markdownCell(why.empty() ? "(no reason given)" : why));
          });
    out += "\n</details>\n";
  }
  return out;
}

} // namespace sim::report
