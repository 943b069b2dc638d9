// SPDX-License-Identifier: BSD-2-Clause-Patent
// Every reproducer the fuzzers found, replayed through its target: each
// folder of Tests/Fuzz/regressions is named after the target it feeds.
#include "Board/Board.h"
#include "Boot/Boot.h"
#include "FuzzTargets.h"
#include "Host/BoundedFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

namespace {

const std::filesystem::path kRegressions = std::filesystem::path(KESH_SOURCE_DIR) / "Tests/Fuzz/regressions";

const std::map<std::string, std::function<fuzz::Findings(std::span<const uint8_t>)>> kTargets = {
    {"board", fuzz::boardText}, {"s3", fuzz::s3Table},      {"print", fuzz::print},
    {"hob", fuzz::hobWalk},     {"boot", fuzz::boot},       {"matrix", fuzz::matrixText},
    {"ovmf", fuzz::ovmfConfig}, {"cli", fuzz::commandLine},
};

TEST(FuzzRegressions, EveryReproducerReplaysCleanly) {
  size_t replayed = 0;
  for (const auto &folder : std::filesystem::directory_iterator(kRegressions)) {
    auto target = kTargets.find(folder.path().filename().string());
    ASSERT_NE(target, kTargets.end()) << folder.path() << " names no fuzz target";
    for (const auto &file : std::filesystem::directory_iterator(folder.path())) {
      std::vector<uint8_t> input = sim::readBoundedFile(file.path().string(), 1 << 20);
      fuzz::Findings findings = target->second(input);
      EXPECT_TRUE(findings.empty()) << file.path() << ": " << findings.front();
      replayed++;
    }
  }
  EXPECT_GT(replayed, 0u) << "the regression folder is empty";
}

// The boot target's inputs are board files before they boot: the same
// bytes always give the same board, one that the reader accepts.
TEST(FuzzRegressions, BootInputsBecomeBoardsTheReaderAccepts) {
  const std::vector<uint8_t> input = {3, 1, 0, 7, 200, 4, 4, 255, 0, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  std::string board = fuzz::boardFromBytes(input);
  EXPECT_EQ(board, fuzz::boardFromBytes(input));
  EXPECT_NE(board.find("extends = \"reference\""), std::string::npos);
  EXPECT_NO_THROW(sim::parseBoardToml(board, "generated.toml")) << board;
  std::vector<uint8_t> many(4096);
  for (size_t i = 0; i < many.size(); i++) {
    many[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  EXPECT_NO_THROW(sim::parseBoardToml(fuzz::boardFromBytes(many), "generated.toml"));
}

// The judgement of a boot: a clean boot breaks nothing, a runaway does.
TEST(FuzzRegressions, TheBootJudgementTellsARunawayFromAFinishedBoot) {
  {
    sim::Simulation clean(sim::referenceBoard(), std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so");
    clean.run();
    EXPECT_EQ(fuzz::bootFindings(clean), fuzz::Findings{});
  }
  sim::Board board = sim::parseBoardToml("[board]\nextends = \"reference\"\n[machine]\ntime_budget_ms = 1\n",
                                         "runaway.toml");
  sim::Simulation runaway(board, std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so");
  runaway.run();
  // Out of time inside the entry point: both the runaway and the entry that
  // never returned are findings.
  fuzz::Findings findings = fuzz::bootFindings(runaway);
  ASSERT_EQ(findings.size(), 2u);
  EXPECT_EQ(findings[0], "entry: the driver entry never returned");
  EXPECT_EQ(findings[1].rfind("halt: the machine halted: the boot ran past 1 ms", 0), 0u) << findings[1];
}

} // namespace
