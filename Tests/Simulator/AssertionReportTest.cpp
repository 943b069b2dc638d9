// SPDX-License-Identifier: BSD-2-Clause-Patent
// Finding assertion reports in console text.
#include "Boot/Boot.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

std::string describe(const std::vector<sim::AssertionRecord> &records) {
  std::string out;
  for (const auto &r : records) {
    out += r.file + "(" + std::to_string(r.line) + "): [" + r.expression + "]\n";
  }
  return out;
}

TEST(AssertionReports, AreFoundWhereverTheyStartAndEndWithEitherLineEnd) {
  std::string text = "KeshOnEndOfDxe() Entry\r\n"
                     "half a lineASSERT Features/KeshInit/Dxe/Sata.cpp(120): Index < Count\r\n"
                     "ASSERT Library/X.cpp(7): !EFI_ERROR (Status)\n"
                     "ASSERT a b(1): spaces in the file\r\n"
                     "ASSERT f(): no line\r\n"
                     "ASSERT f(12) : no colon right after\r\n"
                     "ASSERT g(3): unterminated\r"
                     "ASSERT ASSERT h(4): the second marker\r\n"
                     "ASSERT last(5): no line end";
  auto records = sim::findAssertionReports(text);
  ASSERT_EQ(records.size(), 3u) << describe(records);
  EXPECT_EQ(records[0].file, "Features/KeshInit/Dxe/Sata.cpp");
  EXPECT_EQ(records[0].line, 120u);
  EXPECT_EQ(records[0].expression, "Index < Count");
  EXPECT_EQ(records[1].file, "Library/X.cpp");
  EXPECT_EQ(records[1].expression, "!EFI_ERROR (Status)");
  EXPECT_EQ(records[2].file, "h");
  EXPECT_EQ(records[2].line, 4u);
}

TEST(AssertionReports, ALineNumberBeyond32BitsIsNoReportAndNoFailure) {
  auto records = sim::findAssertionReports("ASSERT f(99999999999999999999999): x\r\n"
                                           "ASSERT f(4294967296): x\r\n"
                                           "ASSERT f(4294967295): x\r\n");
  ASSERT_EQ(records.size(), 1u) << describe(records);
  EXPECT_EQ(records[0].line, 4294967295u);
}

// Against a regular expression of the same form, on text made of reports
// with one part or another spoilt, and runs of loose pieces.
TEST(AssertionReports, AgreeWithTheRegularExpressionOnMixedText) {
  static const std::regex kReport(R"(ASSERT ([^ ()]+)\((\d+)\): ([^\r\n]*)\r?\n)");
  const std::vector<std::vector<std::string>> slots = {
      {"ASSERT ", "ASSERT ", "ASSERT", "x", ""},
      {"f", "g/h.c", "a b", "", "(", "\n"},
      {"(", "(", ")", " ("},
      {"1", "42", "", "x", "007"},
      {"): ", "): ", ")", ": ", ") : "},
      {"", "x", "a\rb", "x y", "ASSERT f(1): e\n"},
      {"\r\n", "\n", "\r", "", "\n\r"},
  };
  std::mt19937 random(20261208);
  size_t reports = 0;
  for (int round = 0; round < 2000; round++) {
    std::string text;
    int segments = static_cast<int>(random() % 5);
    for (int i = 0; i < segments; i++) {
      for (const auto &choices : slots) {
        text += choices[random() % choices.size()];
      }
      int loose = static_cast<int>(random() % 3);
      for (int j = 0; j < loose; j++) {
        const auto &choices = slots[random() % slots.size()];
        text += choices[random() % choices.size()];
      }
    }
    std::vector<sim::AssertionRecord> expected;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), kReport); it != std::sregex_iterator();
         ++it) {
      sim::AssertionRecord report;
      report.file = (*it)[1].str();
      report.line = static_cast<unsigned>(std::stoul((*it)[2].str()));
      report.expression = (*it)[3].str();
      expected.push_back(report);
    }
    reports += expected.size();
    auto found = sim::findAssertionReports(text);
    ASSERT_EQ(describe(found), describe(expected)) << "text: " << testing::PrintToString(text);
  }
  EXPECT_GT(reports, 200u) << "the mix makes reports often enough to compare";
}

} // namespace
