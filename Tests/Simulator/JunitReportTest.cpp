// SPDX-License-Identifier: BSD-2-Clause-Patent
// The JUnit and Markdown reports of a run: each kind of check outcome
// becomes its element, the counts add up, and no byte a check quotes can
// break the XML or the table.
#include "Report/Junit.h"
#include "Report/Markdown.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cctype>
#include <tuple>

namespace {

using sim::CheckResult;
using sim::Expectation;
using sim::Verdict;
using sim::report::CaseCounts;

CheckResult check(std::string name, Verdict verdict, std::optional<Expectation> expected = std::nullopt) {
  CheckResult result;
  result.name = std::move(name);
  result.verdict = verdict;
  result.reason = "the reason";
  result.evidence = {"evidence 1", "evidence 2"};
  result.expected = std::move(expected);
  return result;
}

sim::report::TestRun runOf(CheckResult result, bool halted, bool strict) {
  sim::report::TestRun run;
  run.title = "dxesim boot t.toml";
  run.strict = strict;
  sim::report::SuiteBoot suite;
  suite.name = "board";
  suite.classname = "dxesim.boot.board";
  suite.halted = halted;
  suite.checks = {std::move(result)};
  run.suites.push_back(std::move(suite));
  return run;
}

struct CaseRow {
  const char *what;
  CheckResult check;
  bool halted, strict;
  std::string element; // in the XML of the case
  size_t failures, errors, skipped;
};

class JunitCase : public ::testing::TestWithParam<CaseRow> {};

TEST_P(JunitCase, BecomesItsElementAndCounts) {
  const CaseRow &row = GetParam();
  std::string xml = sim::report::junitXml(runOf(row.check, row.halted, row.strict));
  EXPECT_NE(xml.find(row.element), std::string::npos) << xml;
  std::string counts = fmt::format("tests=\"1\" failures=\"{}\" errors=\"{}\" skipped=\"{}\"", row.failures,
                                   row.errors, row.skipped);
  // The same counts on the suite and on <testsuites>.
  size_t first = xml.find(counts);
  ASSERT_NE(first, std::string::npos) << xml;
  EXPECT_NE(xml.find(counts, first + 1), std::string::npos) << xml;
}

const Expectation kExpectWarn{Verdict::Warn, std::nullopt, "the UART never drains"};

INSTANTIATE_TEST_SUITE_P(
    Report, JunitCase,
    ::testing::Values(
        CaseRow{"pass", check("spi.lock", Verdict::Pass), false, false,
                R"(<testcase name="spi.lock" classname="dxesim.boot.board" time="0"/>)", 0, 0, 0},
        CaseRow{"fail", check("spi.lock", Verdict::Fail), false, false,
                "<failure message=\"the reason\" type=\"fail\">the reason\nevidence 1\nevidence 2</failure>",
                1, 0, 0},
        CaseRow{"unexpected warning", check("console", Verdict::Warn), false, false,
                "<system-out>warn: the reason\nevidence 1\nevidence 2</system-out>", 0, 0, 0},
        CaseRow{"unexpected warning, strict", check("console", Verdict::Warn), false, true,
                R"(<failure message="the reason" type="warning">)", 1, 0, 0},
        CaseRow{"expected warning", check("console", Verdict::Warn, kExpectWarn), false, true,
                R"(<skipped message="expected warn: the UART never drains"/>)", 0, 0, 1},
        CaseRow{"expected failure without a reason",
                check("pool.leaks", Verdict::Fail, Expectation{Verdict::Fail, {}}), false, false,
                R"(<skipped message="expected fail: the reason"/>)", 0, 0, 1},
        CaseRow{"not applicable", check("s3.resume", Verdict::NotApplicable), false, false,
                R"(<skipped message="not applicable: the reason"/>)", 0, 0, 1},
        CaseRow{
            "a pass the board expects to warn", check("spi.protect", Verdict::Pass, kExpectWarn), false,
            false,
            R"(<failure message="got pass, the board expects warn (the UART never drains): the reason" type="fail">)",
            1, 0, 0},
        CaseRow{"a count other than stated",
                [] {
                  CheckResult c = check("assertions", Verdict::Pass, Expectation{Verdict::Pass, 2});
                  c.count = 3;
                  return c;
                }(),
                false, false, R"(message="got pass (3), the board expects pass (2): the reason" type="fail")",
                1, 0, 0},
        CaseRow{"an unexpected halt", check("halt", Verdict::Fail), true, false,
                R"(<error message="the reason" type="halt">)", 0, 1, 0},
        CaseRow{"an expected halt that never came", check("halt", Verdict::Fail), false, false,
                R"(<failure message="the reason" type="fail">)", 1, 0, 0},
        CaseRow{"a hang", check("hang", Verdict::Fail), false, false,
                R"(<error message="the reason" type="hang">)", 0, 1, 0}),
    [](const ::testing::TestParamInfo<CaseRow> &info) {
      std::string name;
      for (const char *c = info.param.what; *c != '\0'; c++) {
        name += std::isalnum(static_cast<unsigned char>(*c)) != 0 ? *c : '_';
      }
      return name;
    });

struct EscapeRow {
  std::string text;
  bool attribute;
  std::string xml;
};

class XmlEscape : public ::testing::TestWithParam<EscapeRow> {};

TEST_P(XmlEscape, KeepsTheDocumentWellFormed) {
  EXPECT_EQ(sim::report::xmlEscape(GetParam().text, GetParam().attribute), GetParam().xml);
}

INSTANTIATE_TEST_SUITE_P(
    Report, XmlEscape,
    ::testing::Values(EscapeRow{"a<b>&\"c'", true, "a&lt;b&gt;&amp;&quot;c'"},
                      EscapeRow{"a<b>&\"c", false, "a&lt;b&gt;&amp;\"c"},
                      // Firmware bytes: control characters XML cannot carry, even as references.
                      EscapeRow{std::string("\x00\x01\x1B[0m\x7F", 7), false, "\\x00\\x01\\x1B[0m\\x7F"},
                      EscapeRow{"line\nnext\ttab\r", true, "line&#10;next&#9;tab&#13;"},
                      EscapeRow{"line\nnext\ttab", false, "line\nnext\ttab"},
                      EscapeRow{"caf\xC3\xA9 \xE2\x82\xAC", false, "caf\xC3\xA9 \xE2\x82\xAC"},
                      // Not UTF-8: a lone continuation, a truncated sequence, an
                      // overlong '/', a surrogate, U+FFFE.
                      EscapeRow{"\x80 \xC3 \xC0\xAF \xED\xA0\x80 \xEF\xBF\xBE", false,
                                "\\x80 \\xC3 \\xC0\\xAF \\xED\\xA0\\x80 \\xEF\\xBF\\xBE"}));

TEST(Report, SuitesAndTheirTotalsAddUp) {
  sim::report::TestRun run = runOf(check("spi.lock", Verdict::Fail), false, false);
  run.suites.push_back(run.suites.front());
  run.suites.back().name = "second";
  run.suites.back().checks = {check("console", Verdict::Warn, kExpectWarn), check("entry", Verdict::Pass)};
  sim::report::SuiteBoot broken;
  broken.name = "case 7: x=y";
  broken.error = "key 'x': no such board key";
  run.suites.push_back(broken);
  CaseCounts counts = sim::report::countCases(run);
  EXPECT_EQ(std::make_tuple(counts.tests, counts.failures, counts.errors, counts.skipped),
            std::make_tuple(size_t{4}, size_t{1}, size_t{1}, size_t{1}));
  std::string xml = sim::report::junitXml(run);
  EXPECT_NE(
      xml.find(R"(<testsuites name="dxesim boot t.toml" tests="4" failures="1" errors="1" skipped="1")"),
      std::string::npos);
  EXPECT_NE(xml.find(R"(<testsuite name="second" tests="2" failures="0" errors="0" skipped="1")"),
            std::string::npos);
  EXPECT_NE(xml.find("<error message=\"key 'x': no such board key\" type=\"error\"/>"), std::string::npos);
  EXPECT_FALSE(sim::report::passed(run));
}

TEST(Report, TheMarkdownSummaryListsWhatDidNotPassAndWhatTheBoardsExpect) {
  sim::report::TestRun run = runOf(check("spi.lock", Verdict::Fail), false, false);
  run.suites.front().checks.push_back(check("console", Verdict::Warn, kExpectWarn));
  run.suites.front().checks.push_back(check("s3.resume", Verdict::NotApplicable));
  run.suites.front().checks.back().reason = "a | b <script>";
  std::string md = sim::report::markdownSummary(run);
  EXPECT_EQ(md.substr(0, md.find('\n')), "## dxesim boot t.toml: FAILED");
  EXPECT_NE(md.find("| board | spi.lock | fail | the reason | no |"), std::string::npos) << md;
  EXPECT_NE(md.find("| board | console | warn | the reason | yes |"), std::string::npos) << md;
  // Only in the expected outcomes, with the board's reason.
  EXPECT_NE(md.find("<details>\n<summary>1 outcome(s) the boards expect</summary>"), std::string::npos);
  EXPECT_NE(md.find("| board | console | warn | the UART never drains |"), std::string::npos) << md;
  EXPECT_EQ(md.find("s3.resume"), std::string::npos) << md;
  EXPECT_EQ(sim::report::markdownCell("a | b <script>\n`x`"), "a \\| b \\<script\\> \\`x\\`");
  EXPECT_EQ(md, sim::report::markdownSummary(run)); // deterministic
}

} // namespace
