// SPDX-License-Identifier: BSD-2-Clause-Patent
// The JUnit and Markdown reports of a run: each kind of check outcome
// becomes its element, the counts add up, and no byte a check quotes can
// break the XML or the table. (Tests/Tool/junit_report_test.py holds
// whole runs against their JSON.)
#include "Report/Junit.h"
#include "Report/Markdown.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace {

using sim::CheckResult;
using sim::Expectation;
using sim::Verdict;

CheckResult check(std::string name, Verdict verdict, std::optional<Expectation> expected = std::nullopt,
                  std::optional<size_t> count = std::nullopt) {
  return {std::move(name), verdict, "the reason", {"evidence 1", "evidence 2"}, count, std::move(expected)};
}

sim::report::TestRun runOf(std::vector<CheckResult> checks, bool halted = false, bool strict = false) {
  sim::report::SuiteBoot suite{"board", "dxesim.boot.board", 0, std::move(checks), halted, "", 1};
  return {"dxesim boot t.toml", {std::move(suite)}, strict, ""};
}

struct CaseRow {
  CheckResult check;
  bool halted, strict;
  std::string element; // in the XML of the case
  size_t failures, errors, skipped;
};

class JunitCase : public ::testing::TestWithParam<CaseRow> {};

TEST_P(JunitCase, BecomesItsElementAndCounts) {
  const CaseRow &row = GetParam();
  std::string xml = sim::report::junitXml(runOf({row.check}, row.halted, row.strict));
  EXPECT_NE(xml.find(row.element), std::string::npos) << xml;
  std::string counts = fmt::format("tests=\"1\" failures=\"{}\" errors=\"{}\" skipped=\"{}\"", row.failures,
                                   row.errors, row.skipped);
  // The same counts on the suite and on <testsuites>.
  size_t first = xml.find(counts);
  ASSERT_NE(first, std::string::npos) << xml;
  EXPECT_NE(xml.find(counts, first + 1), std::string::npos) << xml;
}

const Expectation kWarn{Verdict::Warn, std::nullopt, "the UART never drains"};

INSTANTIATE_TEST_SUITE_P(
    Report, JunitCase,
    ::testing::Values(
        CaseRow{check("spi.lock", Verdict::Fail), false, false,
                "<failure message=\"the reason\" type=\"fail\">the reason\nevidence 1\nevidence 2</failure>",
                1, 0, 0},
        CaseRow{check("console", Verdict::Warn), false, false,
                "<system-out>warn: the reason\nevidence 1\nevidence 2</system-out>", 0, 0, 0},
        CaseRow{check("console", Verdict::Warn), false, true,
                R"(<failure message="the reason" type="warning">)", 1, 0, 0},
        CaseRow{check("console", Verdict::Warn, kWarn), false, true,
                R"(<skipped message="expected warn: the UART never drains"/>)", 0, 0, 1},
        // An expectation without a reason: the check's own.
        CaseRow{check("pool.leaks", Verdict::Fail, Expectation{Verdict::Fail, {}}), false, false,
                R"(<skipped message="expected fail: the reason"/>)", 0, 0, 1},
        CaseRow{
            check("spi.protect", Verdict::Pass, kWarn), false, false,
            R"(message="got pass, the board expects warn (the UART never drains): the reason" type="fail")",
            1, 0, 0},
        CaseRow{check("assertions", Verdict::Pass, Expectation{Verdict::Pass, 2}, 3), false, false,
                R"(message="got pass (3), the board expects pass (2): the reason" type="fail")", 1, 0, 0},
        CaseRow{check("halt", Verdict::Fail), true, false, R"(<error message="the reason" type="halt">)", 0,
                1, 0},
        // A halt the board expects that never came is a failure, not an error.
        CaseRow{check("halt", Verdict::Fail), false, false, R"(<failure message="the reason" type="fail">)",
                1, 0, 0},
        CaseRow{check("hang", Verdict::Fail), false, false, R"(<error message="the reason" type="hang">)", 0,
                1, 0}));

class XmlEscape : public ::testing::TestWithParam<std::tuple<std::string, bool, std::string>> {};

TEST_P(XmlEscape, KeepsTheDocumentWellFormed) {
  EXPECT_EQ(sim::report::xmlEscape(std::get<0>(GetParam()), std::get<1>(GetParam())),
            std::get<2>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(
    Report, XmlEscape,
    ::testing::Values(std::make_tuple("a<b>&\"c'", true, "a&lt;b&gt;&amp;&quot;c'"),
                      std::make_tuple("a<b>&\"c", false, "a&lt;b&gt;&amp;\"c"),
                      // Firmware bytes: control characters XML cannot carry, even as references.
                      std::make_tuple(std::string("\x00\x01\x1B[0m\x7F", 7), false,
                                      "\\x00\\x01\\x1B[0m\\x7F"),
                      std::make_tuple("line\nnext\ttab\r", true, "line&#10;next&#9;tab&#13;"),
                      std::make_tuple("caf\xC3\xA9 \xE2\x82\xAC", false, "caf\xC3\xA9 \xE2\x82\xAC"),
                      // Not UTF-8: a lone continuation, a truncated sequence, an
                      // overlong '/', a surrogate, U+FFFE.
                      std::make_tuple("\x80 \xC3 \xC0\xAF \xED\xA0\x80 \xEF\xBF\xBE", false,
                                      "\\x80 \\xC3 \\xC0\\xAF \\xED\\xA0\\x80 \\xEF\\xBF\\xBE")));

TEST(Report, TheMarkdownSummaryListsWhatDidNotPassAndWhatTheBoardsExpect) {
  sim::report::TestRun run = runOf({check("spi.lock", Verdict::Fail), check("console", Verdict::Warn, kWarn),
                                    check("s3.resume", Verdict::NotApplicable)});
  run.suites.front().checks[0].reason = "a | b <script>";
  // A combination whose board could not be built: an error in the totals.
  run.suites.push_back({"case 7: x=y", "c", 0, {}, false, "no such key", 1});
  EXPECT_NE(sim::report::junitXml(run).find(R"(tests="4" failures="1" errors="1" skipped="2")"),
            std::string::npos);
  std::string md = sim::report::markdownSummary(run);
  EXPECT_EQ(md.substr(0, md.find('\n')), "## dxesim boot t.toml: FAILED");
  EXPECT_NE(md.find("| board | spi.lock | fail | a \\| b \\<script\\> | no |"), std::string::npos) << md;
  EXPECT_NE(md.find("| board | console | warn | the reason | yes |"), std::string::npos) << md;
  // The expected outcomes, collapsed, with the board's reason.
  EXPECT_NE(md.find("<summary>1 outcome(s) the boards expect</summary>\n\n| Boot | Check | Verdict | Why |\n"
                    "| --- | --- | --- | --- |\n| board | console | warn | the UART never drains |"),
            std::string::npos)
      << md;
  EXPECT_EQ(md.find("s3.resume"), std::string::npos) << md;
}

} // namespace
