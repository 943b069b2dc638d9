// SPDX-License-Identifier: BSD-2-Clause-Patent
// Whole boots with the busy-wait fast path off and on: every shipped board,
// the built-in reference board and boards whose waits run into the poll
// limit, the time budget or a UART that never drains. The text summary, the
// JSON report and the access trace come out byte for byte the same.
#include "BootHarness.h"

#include "Boot/Report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Outputs {
  std::string summary;
  std::string json;
  std::string trace;
  uint64_t skipped = 0;
  uint64_t consoleAccesses = 0;
};

Outputs bootWith(const sim::Board &board, bool fastPolls) {
  sim::SimulationOptions options;
  options.fastPolls = fastPolls;
  sim::Simulation simulation(board, boot::kImage, options);
  simulation.run();
  return Outputs{sim::textSummary(simulation), sim::jsonReport(simulation).dump(2),
                 sim::traceText(sim::namedTrace(simulation.machine(), simulation.record(), {})),
                 simulation.machine().skippedPolls(),
                 simulation.console().accesses() + simulation.secondConsole().accesses()};
}

// The first line where two texts differ, for a readable failure.
std::string firstDifference(const std::string &a, const std::string &b) {
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) {
    at++;
  }
  size_t lineStart = a.rfind('\n', at == 0 ? 0 : at - 1);
  lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
  auto line = [lineStart](const std::string &text) {
    size_t end = text.find('\n', lineStart);
    return lineStart >= text.size() ? std::string("<end>") : text.substr(lineStart, end - lineStart);
  };
  return "off: " + line(a) + "\non:  " + line(b);
}

// The slow run's outputs.
// skips: whether the fast path must be taken (nullopt: either way).
Outputs expectSameBoot(const sim::Board &board, const std::string &what, std::optional<bool> skips = true) {
  Outputs slow = bootWith(board, false);
  Outputs fast = bootWith(board, true);
  EXPECT_EQ(slow.skipped, 0u) << what;
  if (skips == std::optional<bool>(true)) {
    EXPECT_GT(fast.skipped, 0u) << what << ": the fast path was never taken";
  } else if (skips == std::optional<bool>(false)) {
    EXPECT_EQ(fast.skipped, 0u) << what << ": no wait settles within the limit";
  }
  EXPECT_TRUE(slow.summary == fast.summary) << what << "\n" << firstDifference(slow.summary, fast.summary);
  EXPECT_TRUE(slow.json == fast.json) << what << "\n" << firstDifference(slow.json, fast.json);
  EXPECT_TRUE(slow.trace == fast.trace) << what << "\n" << firstDifference(slow.trace, fast.trace);
  EXPECT_EQ(slow.consoleAccesses, fast.consoleAccesses) << what;
  return slow;
}

// A wait that outlasts its untimed reads reads the PM timer.
constexpr const char *kTimedWait = "ACPI PM timer PM_TMR";

TEST(FastPollBoot, EveryShippedBoardBootsTheSameWithAndWithoutIt) {
  std::vector<std::filesystem::path> files;
  for (const auto &entry : std::filesystem::directory_iterator(std::string(KESH_SOURCE_DIR) + "/boards")) {
    if (entry.path().extension() == ".toml") {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 2u);
  for (const auto &file : files) {
    // A board that prints nothing (error level 0) has no waits to shorten.
    expectSameBoot(sim::loadBoardFile(file.string()), file.filename().string(), std::nullopt);
  }
  expectSameBoot(sim::referenceBoard(), "built-in reference board");
}

// A wait that outlasts the console library's poll limit gives up at the
// same read either way: a fast clock against a 9600-baud line, where a full
// burst takes longer than the limit and a short one does not, and a UART
// that never drains.
TEST(FastPollBoot, WaitsThatGiveUpDoSoAtTheSameRead) {
  sim::Board slowLine = sim::referenceBoard();
  slowLine.cmos[0x6F] = 0x06; // 9600 baud: 1.04 ms a character
  slowLine.accessCostNs = 100;
  EXPECT_NE(expectSameBoot(slowLine, "9600 baud at 100 ns a read", std::nullopt).trace.find(kTimedWait),
            std::string::npos);
  slowLine.accessCostNs = 5; // no burst settles within the untimed reads
  EXPECT_NE(expectSameBoot(slowLine, "9600 baud at 5 ns a read", std::nullopt).trace.find(kTimedWait),
            std::string::npos);

  sim::Board stuck = sim::referenceBoard();
  stuck.uart2F8.neverDrains = true;
  EXPECT_NE(expectSameBoot(stuck, "UART 0x2F8 never drains").trace.find(kTimedWait), std::string::npos);
}

// The budget runs out in the middle of a wait: the halt comes at the same
// read and virtual time.
TEST(FastPollBoot, TheTimeBudgetStopsAWaitAtTheSameRead) {
  sim::Board board = sim::referenceBoard();
  board.timeBudgetMs = 20;
  Outputs slow = bootWith(board, false);
  Outputs fast = bootWith(board, true);
  ASSERT_NE(slow.summary.find("virtual time budget"), std::string::npos) << slow.summary;
  EXPECT_GT(fast.skipped, 0u);
  EXPECT_TRUE(slow.summary == fast.summary) << firstDifference(slow.summary, fast.summary);
  EXPECT_TRUE(slow.json == fast.json) << firstDifference(slow.json, fast.json);
  EXPECT_TRUE(slow.trace == fast.trace) << firstDifference(slow.trace, fast.trace);
}

} // namespace
