// SPDX-License-Identifier: BSD-2-Clause-Patent
// The command-line tool as a user runs it.
#include <nlohmann/json.hpp>

#include "ScratchDir.h"
#include "ToolRun.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>
#include <sys/wait.h>

namespace {

const std::string kExtendsReference = "[board]\nextends = \"" KESH_SOURCE_DIR "/boards/reference.toml\"\n";

std::string writeBoard(const std::string &name, const std::string &text) {
  std::string path = processScratch().path(name);
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
  // The second UART's copy is the same: said once, not printed again.
  EXPECT_EQ(run.output.find("KeshInitEntryPoint Entry\r\n", entry + 1), std::string::npos);
  EXPECT_NE(run.output.find("== Console (UART 0x2F8): the same bytes as UART 0x3F8"), std::string::npos);
  EXPECT_NE(run.output.find("outcome: completed"), std::string::npos);
  // The driver's four and the S3 save library's two.
  EXPECT_NE(run.output.find("6 registered, 5 closed"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("-- assertions: 0"), std::string::npos);
  EXPECT_NE(run.output.find("  PASSED   spi.protect"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("checks: 17 passed, 0 failed, 0 warnings, 4 not applicable; 0 unexpected"),
            std::string::npos)
      << run.output;

  ToolRun both = dxesim("boot --both-consoles");
  EXPECT_EQ(
      both.output.find("KeshInitEntryPoint Entry\r\n", both.output.find("KeshInitEntryPoint Entry") + 1),
      both.output.find("2F8| KeshInitEntryPoint Entry\r\n") + 5);
}

// Console lines after the times the page shows; every time in the text in
// one unit.
TEST(Dxesim, TimestampsPrefixEachConsoleLineWithItsVirtualTime) {
  std::string trace = processScratch().path("timestamps-trace.txt");
  ToolRun plain = dxesim("boot");
  ToolRun timed = dxesim("boot --timestamps --both-consoles --trace " + trace);
  ASSERT_EQ(timed.exitCode, 0) << timed.output;
  const std::regex stamp("^(2F8\\| )?\\[ *([0-9]+)\\.([0-9]{3}) ms\\] ([^\r]*)\r?$");
  std::istringstream in(timed.output.substr(timed.output.find("== Console (UART 0x3F8)\n")));
  std::string line;
  std::getline(in, line);
  uint64_t last = 0;
  while (std::getline(in, line) && !line.empty()) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, stamp)) << line;
    uint64_t us = std::stoull(m[2].str()) * 1000 + std::stoull(m[3].str());
    EXPECT_GT(us, last) << "lines in the order they went out: " << line;
    last = us;
    EXPECT_NE(plain.output.find(m[4].str() + "\r\n"), std::string::npos)
        << "as the untimed console: " << line;
  }
  EXPECT_GT(last, 0u) << timed.output;
  EXPECT_NE(timed.output.find("\n2F8| ["), std::string::npos) << timed.output;
  EXPECT_TRUE(std::regex_search(timed.output, std::regex("\n +[0-9]+\\.[0-9]{3} ms  load "))) << timed.output;
  std::ifstream traceIn(trace);
  ASSERT_TRUE(std::getline(traceIn, line));
  EXPECT_TRUE(std::regex_match(line, std::regex(" *0 +[0-9]+\\.[0-9]{3} ms  [a-z-]+ .*"))) << line;
}

TEST(Dxesim, QuietPrintsTheChecksAndTheOutcomeOnly) {
  ToolRun run = dxesim("boot --quiet");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output.rfind("-- checks\n", 0), 0u) << run.output;
  EXPECT_EQ(run.output.find("KeshInitEntryPoint"), std::string::npos);
  EXPECT_EQ(run.output.find("-- timeline"), std::string::npos);
  EXPECT_NE(run.output.find("\noutcome: completed; checks:"), std::string::npos) << run.output;
}

TEST(Dxesim, AnUnexpectedCheckFailureExitsFourAndStrictCountsWarnings) {
  std::string idle =
      writeBoard("idle-rule.toml", kExtendsReference + "[[fail]]\nservice = \"CloseEvent\"\ncall = 99\n");
  ToolRun run = dxesim("boot --quiet " + idle);
  EXPECT_EQ(run.exitCode, 4) << run.output;
  EXPECT_NE(run.output.find("FAILED   board.fail-rules         never fired: rule 1 (CloseEvent call 99)"),
            std::string::npos)
      << run.output;

  // Expected, it passes; a warning passes too unless --strict.
  std::string expected =
      writeBoard("idle-expected.toml", kExtendsReference + "[[fail]]\nservice = \"CloseEvent\"\ncall = 99\n"
                                                           "[expect]\n\"board.fail-rules\" = \"fail\"\n");
  EXPECT_EQ(dxesim("boot --quiet " + expected).exitCode, 0);
  std::string noSpi =
      writeBoard("no-spi.toml", kExtendsReference + "[[pci]]\nbus = 0\ndevice = 0x14\nfunction = 3\n"
                                                    "registers = [[0xA0, 0xFFFFFFFF]]\n");
  ToolRun warned = dxesim("boot --quiet " + noSpi);
  EXPECT_EQ(warned.exitCode, 0) << warned.output;
  EXPECT_NE(warned.output.find("WARNING  spi.protect"), std::string::npos) << warned.output;
  EXPECT_EQ(dxesim("boot --quiet --strict " + noSpi).exitCode, 4);
}

TEST(Dxesim, VersionHelpAndUsageErrorsHaveTheirStatuses) {
  ToolRun version = dxesim("--version");
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.output.rfind("dxesim ", 0), 0u) << version.output;
  ToolRun help = dxesim("--help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("64 usage error"), std::string::npos) << help.output;
  EXPECT_NE(help.output.find("4 a check failed"), std::string::npos) << help.output;
  EXPECT_EQ(dxesim("").exitCode, 64);
  EXPECT_EQ(dxesim("boot --no-such-option").exitCode, 64);
  EXPECT_EQ(dxesim("boot --trace-format xml --trace -").exitCode, 64);
  EXPECT_EQ(dxesim("boot --trace-kind io-reed --trace -").exitCode, 64);
  EXPECT_EQ(dxesim("boot --json - --trace -").exitCode, 64);
}

TEST(Dxesim, WithoutABoardItBootsTheBuiltInReferenceBoard) {
  ToolRun run = dxesim("boot");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("reference.toml (built in)"), std::string::npos) << run.output;
}

TEST(Dxesim, WritesTheSameBootAsJsonAndTheTraceToFilesOrStandardOutput) {
  std::string json = processScratch().path("report.json");
  std::string trace = processScratch().path("trace.txt");
  ToolRun run = dxesim("boot --trace " + trace + " --json " + json);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::ifstream traceIn(trace);
  std::string traceText((std::istreambuf_iterator<char>(traceIn)), std::istreambuf_iterator<char>());
  EXPECT_NE(traceText.find("io-write"), std::string::npos);
  EXPECT_NE(traceText.find("UART 0x3F8 LSR"), std::string::npos);
  EXPECT_NE(traceText.find("[KeshInitDxe KeshOnEndOfDxe]"), std::string::npos);
  std::ifstream in(json);
  ASSERT_TRUE(in.good());
  nlohmann::json report = nlohmann::json::parse(in);
  EXPECT_TRUE(report["outcome"]["completed"].get<bool>());
  EXPECT_EQ(report["entry_status"], "Success");
  EXPECT_EQ(report["events"].size(), 6u);
  EXPECT_EQ(report["board"]["source"], "boards/reference.toml (built in)");
  std::string console = report["console"]["uart0"];
  EXPECT_NE(console.find("KeshOnReadyToBoot() Exit\r\n"), std::string::npos);

  ToolRun stdoutJson = dxesim(
      "boot " + std::string(KESH_SOURCE_DIR) + "/boards/../boards/reference.toml --json -", " 2>/dev/null");
  nlohmann::json same = nlohmann::json::parse(stdoutJson.output);
  EXPECT_EQ(same["board"]["source"], std::string(KESH_SOURCE_DIR) + "/boards/../boards/reference.toml")
      << "the path as given";
}

TEST(Dxesim, TheSpiTraceIsExactlyTheSpiAccessesEachNamed) {
  // The board with the PWD inserted, which locks and restricts.
  std::string board = std::string(KESH_SOURCE_DIR) + "/boards/pwd-2040-back-ports.toml";
  ToolRun all = dxesim("boot " + board + " --trace - --trace-format jsonl", " 2>/dev/null");
  ToolRun spi =
      dxesim("boot " + board + " --trace - --trace-format jsonl --trace-device SPI", " 2>/dev/null");
  ASSERT_EQ(spi.exitCode, 0);
  auto lines = [](const std::string &text) {
    std::vector<nlohmann::json> out;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos;
         start = end + 1, end = text.find('\n', start)) {
      out.push_back(nlohmann::json::parse(text.substr(start, end - start)));
    }
    return out;
  };
  std::vector<nlohmann::json> expected;
  for (const nlohmann::json &entry : lines(all.output)) {
    std::string kind = entry["kind"];
    uint64_t address = std::stoull(entry["address"].get<std::string>(), nullptr, 16);
    if ((kind == "mmio-read" || kind == "mmio-write") && address >= 0xFEC10000 && address < 0xFEC10100) {
      expected.push_back(entry);
    }
  }
  std::vector<nlohmann::json> got = lines(spi.output);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(got, expected);
  for (const nlohmann::json &entry : got) {
    EXPECT_EQ(entry["device"], "SPI");
    EXPECT_FALSE(entry["register"].is_null());
    EXPECT_FALSE(entry["code"].is_null());
  }
  EXPECT_NE(spi.output.find("\"register\":\"RestrictedCmd\""), std::string::npos) << spi.output;

  // Kind, address and time filters narrow it further.
  ToolRun writes = dxesim("boot --trace - --trace-format jsonl --trace-kind mmio-write --trace-address "
                          "0xFEC1001D",
                          " 2>/dev/null");
  for (const nlohmann::json &entry : lines(writes.output)) {
    EXPECT_EQ(entry["kind"], "mmio-write");
    EXPECT_EQ(entry["address"], "0xFEC1001D");
  }
  EXPECT_EQ(lines(writes.output).size(), 2u) << writes.output;
  ToolRun early = dxesim("boot --trace - --trace-format jsonl --trace-time 0-1ms", " 2>/dev/null");
  for (const nlohmann::json &entry : lines(early.output)) {
    EXPECT_LE(entry["time_ns"].get<uint64_t>(), 1000000u);
  }
  EXPECT_FALSE(lines(early.output).empty());
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

TEST(Dxesim, BoardsThatCannotBootAreRefusedBeforeAnythingRuns) {
  ToolRun directory = dxesim("boot /tmp");
  EXPECT_EQ(directory.exitCode, 2) << "not an empty unnamed board";
  EXPECT_EQ(directory.output, "dxesim: /tmp: is a directory, not a file\n");
  ToolRun zero = dxesim("boot /dev/zero");
  EXPECT_EQ(zero.exitCode, 2);
  EXPECT_NE(zero.output.find("/dev/zero: is not a regular file and did not end within"), std::string::npos)
      << zero.output;
  // A rule that "fails" a service with success leaves the caller without the
  // interface it trusts the status for: the board is refused, not booted into a crash.
  std::string success =
      writeBoard("success-fail.toml", "[board]\nextends = \"reference\"\n[[fail]]\n"
                                      "service = \"LocateProtocol\"\nstatus = \"EFI_SUCCESS\"\n");
  ToolRun rule = dxesim("boot " + success);
  EXPECT_EQ(rule.exitCode, 2) << rule.output;
  EXPECT_NE(rule.output.find("key 'fail.status': 'EFI_SUCCESS' is not an error status"), std::string::npos)
      << rule.output;
  // 18446744073710 ms does not fit 64-bit nanoseconds: refused, not a budget wrapped to 0.45 ms.
  std::string budget = writeBoard("huge-budget.toml", "[machine]\ntime_budget_ms = 18446744073710\n");
  ToolRun huge = dxesim("boot " + budget);
  EXPECT_EQ(huge.exitCode, 2) << huge.output;
  EXPECT_NE(huge.output.find("key 'machine.time_budget_ms': 0x10C6F7A0B5EE is larger than 0x10C6F7A0B5ED"),
            std::string::npos)
      << huge.output;
}

// A driver that faults halts the simulated machine instead of ending the
// tool: exit 3, the fault named in the outcome, and the boot up to the
// fault reported and judged against what the board expects.
TEST(Dxesim, ADriverFaultHaltsTheMachineAndTheBootIsStillJudged) {
  struct Case {
    const char *board;
    std::vector<std::string> named;
  };
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's shadow read of the wild address faults first.
  const std::string privateData =
      "in S3ClientDxe _ModuleEntryPoint, instruction in S3ClientDxe S3SaveMemWrite";
#else
  const std::string privateData = "SIGSEGV reading 0x00000000DEADBEE8 (address not mapped) in S3ClientDxe "
                                  "_ModuleEntryPoint, instruction in S3ClientDxe S3SaveMemWrite";
#endif
  const Case cases[] = {
      {"s3-wild-comm-buffer.toml",
       {"SIGSEGV writing 0x0000000000001234 (address not mapped) in KeshInitDxe "
        "OrunS3SaveCloseTableCallBack, "
        "instruction in KeshInitDxe "}},
      {"s3-wild-private-data.toml", {privateData}},
  };
  for (const Case &c : cases) {
    std::string board = std::string(KESH_SOURCE_DIR) + "/boards/" + c.board;
    ToolRun run = dxesim("boot " + board + " --quiet --json -", " 2>/dev/null");
    ASSERT_EQ(run.exitCode, 3) << c.board << run.output;
    nlohmann::json report = nlohmann::json::parse(run.output);
    EXPECT_EQ(report["outcome"]["halt"]["reason"], "driver fault") << c.board;
    std::string detail = report["outcome"]["halt"]["detail"];
    for (const std::string &part : c.named) {
      EXPECT_NE(detail.find(part), std::string::npos) << c.board << ": " << detail;
    }
    EXPECT_FALSE(report["checks"].empty()) << c.board;
    EXPECT_EQ(report["unexpected"]["failures"], 0) << c.board << report["checks"].dump(2);
  }
}

} // namespace
