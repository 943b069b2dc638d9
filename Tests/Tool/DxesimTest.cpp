// The command-line tool as a user runs it.
#include <nlohmann/json.hpp>

#include "ToolRun.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/wait.h>

namespace {

std::string writeBoard(const std::string &name, const std::string &text) {
  std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << text;
  return path;
}

TEST(Dxesim, BootsTheReferenceBoardAndSummarises) {
  ToolRun run = dxesim("boot " + std::string(KESH_SOURCE_DIR) + "/boards/reference.toml");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  size_t entry = run.output.find("KeshInitEntryPoint Entry\r\n");
  size_t summary = run.output.find("== Boot of Kesh reference board");
  ASSERT_NE(entry, std::string::npos) << run.output;
  ASSERT_NE(summary, std::string::npos) << run.output;
  EXPECT_LT(entry, summary) << "console output comes first";
  // The second UART's copy is marked, so each line stands once as itself.
  EXPECT_EQ(run.output.find("KeshInitEntryPoint Entry\r\n", entry + 1),
            run.output.find("2F8| KeshInitEntryPoint Entry\r\n") + 5);
  EXPECT_NE(run.output.find("outcome: completed"), std::string::npos);
  // The driver's four and the S3 save library's two.
  EXPECT_NE(run.output.find("6 registered, 5 closed"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("-- assertions: 0"), std::string::npos);
}

TEST(Dxesim, WithoutABoardItBootsTheBuiltInReferenceBoard) {
  ToolRun run = dxesim("boot");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("reference.toml (built in)"), std::string::npos) << run.output;
}

TEST(Dxesim, WritesTheSameBootAsJsonAndPrintsTheTrace) {
  std::string json = ::testing::TempDir() + "report.json";
  ToolRun run = dxesim("boot --trace --json " + json);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("-- access trace"), std::string::npos);
  EXPECT_NE(run.output.find("io-write"), std::string::npos);
  std::ifstream in(json);
  ASSERT_TRUE(in.good());
  nlohmann::json report = nlohmann::json::parse(in);
  EXPECT_TRUE(report["outcome"]["completed"].get<bool>());
  EXPECT_EQ(report["entry_status"], "Success");
  EXPECT_EQ(report["events"].size(), 6u);
  std::string console = report["console"]["uart0"];
  EXPECT_NE(console.find("KeshOnReadyToBoot() Exit\r\n"), std::string::npos);
}

TEST(Dxesim, ABadBoardFileIsRefusedWithFileLineAndKey) {
  std::string path = writeBoard("bad.toml", "[firmware]\nruntime_services = true\nruntime_servics = false\n");
  ToolRun run = dxesim("boot " + path);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.output.find(path + ":3: key 'firmware.runtime_servics'"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("KeshInitEntryPoint"), std::string::npos) << "nothing half-booted";
}

TEST(Dxesim, BrokenSyntaxAndMissingFilesAreClearErrors) {
  std::string path = writeBoard("syntax.toml", "[firmware]\ntimeline = [\"load\"\n");
  ToolRun run = dxesim("boot " + path);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.output.find(path + ":"), std::string::npos) << run.output;

  ToolRun missing = dxesim("boot /nonexistent/board.toml");
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.output.find("/nonexistent/board.toml: cannot be read"), std::string::npos)
      << missing.output;
}

// The UEFI build of the driver given where the host image belongs: one
// line that says which image the simulator loads and where it is, before
// anything boots.
TEST(Dxesim, AUefiImageGivenAsTheDriverSaysWhichImageItWants) {
  std::string efi = writeBoard("KeshInitDxe.efi", std::string("MZ\x90\0", 4) + std::string(60, '\0'));
  ToolRun run = dxesim("boot --image " + efi);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("dxesim: " + efi + " is a UEFI image (PE32+)"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("KeshInitDxe.so, by default " + std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("ELF header"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("KeshInitEntryPoint"), std::string::npos) << "nothing half-booted";
}

TEST(Dxesim, ARunawayBootEndsAtItsTimeBudgetWithItsOwnExitCode) {
  std::string path = writeBoard("budget.toml", "[machine]\ntime_budget_ms = 1\naccess_cost_ns = 100000\n");
  ToolRun run = dxesim("boot " + path);
  EXPECT_EQ(run.exitCode, 3) << run.output;
  EXPECT_NE(run.output.find("outcome: halted: virtual time budget exhausted"), std::string::npos)
      << run.output;
}

} // namespace
