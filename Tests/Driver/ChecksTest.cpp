// SPDX-License-Identifier: BSD-2-Clause-Patent
// The checks that judge every boot: each shipped board passes or gets what
// it expects, and each check fails on a machine made to fail it.
#include "BootHarness.h"

#include "Boot/Checks.h"
#include "Boot/Report.h"

#include <PlatformProtocols.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using boot::kImage;

const sim::CheckResult &check(const sim::BootRecord &record, const std::string &name) {
  for (const sim::CheckResult &result : record.checks) {
    if (result.name == name) {
      return result;
    }
  }
  throw std::logic_error("no check " + name);
}

std::string verdicts(const sim::BootRecord &record) {
  std::string out;
  for (const sim::CheckResult &result : record.checks) {
    out += result.name + "=" + result.verdict + " (" + result.reason + ")\n";
  }
  return out;
}

sim::Board s3Board() {
  return sim::loadBoardFile(std::string(KESH_SOURCE_DIR) + "/boards/s3-resume.toml");
}

sim::Board pwdBoard() {
  return sim::loadBoardFile(std::string(KESH_SOURCE_DIR) + "/boards/pwd-2040-back-ports.toml");
}

// Forwards to a device but keeps some bits of one byte register as they
// were: a controller that ignores part of a write.
class IgnoringBits : public sim::MmioDevice {
public:
  IgnoringBits(sim::MmioDevice &device, uint64_t offset, uint8_t ignored)
      : device_(device), offset_(offset), ignored_(ignored) {}
  uint64_t mmioRead(uint64_t offset, unsigned width) override { return device_.mmioRead(offset, width); }
  void mmioWrite(uint64_t offset, unsigned width, uint64_t value) override {
    if (offset == offset_ && width == 1) {
      uint64_t old = device_.mmioRead(offset, 1);
      value = (value & ~uint64_t{ignored_}) | (old & ignored_);
    }
    device_.mmioWrite(offset, width, value);
  }

private:
  sim::MmioDevice &device_;
  uint64_t offset_;
  uint8_t ignored_;
};

TEST(Checks, EveryShippedBoardPassesOrGetsWhatItExpects) {
  std::vector<std::string> boards = {""};
  for (const auto &entry : std::filesystem::directory_iterator(std::string(KESH_SOURCE_DIR) + "/boards")) {
    if (entry.path().extension() == ".toml") {
      boards.push_back(entry.path().string());
    }
  }
  ASSERT_GE(boards.size(), 8u);
  for (const std::string &path : boards) {
    sim::Board board = path.empty() ? sim::referenceBoard() : sim::loadBoardFile(path);
    boot::Boot boot(board);
    const sim::BootRecord &record = boot.simulation.record();
    EXPECT_EQ(record.unexpectedFailures(), 0u) << path << "\n" << verdicts(record);
    EXPECT_EQ(record.unexpectedWarnings(), 0u) << path << "\n" << verdicts(record);
    EXPECT_EQ(record.checks.size(), sim::checkNames().size());
  }
}

TEST(Checks, TextAndJsonComeFromTheOneRecord) {
  boot::Boot boot(s3Board());
  const sim::BootRecord &record = boot.simulation.record();
  nlohmann::json json = sim::jsonReport(record);
  std::string text = sim::textSummary(record);
  ASSERT_EQ(json["checks"].size(), record.checks.size());
  for (size_t i = 0; i < record.checks.size(); i++) {
    EXPECT_EQ(json["checks"][i]["name"], record.checks[i].name);
    EXPECT_EQ(json["checks"][i]["verdict"], record.checks[i].verdict);
    EXPECT_NE(text.find(record.checks[i].name), std::string::npos);
  }
  EXPECT_EQ(check(record, "s3.handoff").verdict, "pass") << verdicts(record);
  EXPECT_EQ(check(record, "s3.resume").verdict, "pass") << verdicts(record);
  EXPECT_EQ(json["format"], sim::kReportFormat);
}

TEST(Checks, AControllerThatIgnoresTheLockBitFailsTheLockCheck) {
  sim::Simulation simulation(pwdBoard(), kImage);
  auto *spi = const_cast<sim::SpiController *>(simulation.spi());
  ASSERT_NE(spi, nullptr);
  IgnoringBits broken(*spi, 0x1D, 0x20);
  simulation.machine().mapMmio(simulation.spiBase(), sim::SpiController::kSize, &broken);
  simulation.run();
  const sim::CheckResult &lock = check(simulation.record(), "spi.lock");
  EXPECT_EQ(lock.verdict, "fail");
  EXPECT_NE(lock.reason.find("the lock bit is clear"), std::string::npos) << lock.reason;
  EXPECT_EQ(check(simulation.record(), "spi.protect").verdict, "pass");
  EXPECT_EQ(simulation.record().unexpectedFailures(), 1u);
}

TEST(Checks, AControllerThatIgnoresTheProtectBitFailsTheProtectAndArmedChecks) {
  sim::Simulation simulation(pwdBoard(), kImage);
  auto *spi = const_cast<sim::SpiController *>(simulation.spi());
  IgnoringBits broken(*spi, 0x1D, 0x08);
  simulation.machine().mapMmio(simulation.spiBase(), sim::SpiController::kSize, &broken);
  simulation.run();
  EXPECT_EQ(check(simulation.record(), "spi.protect").verdict, "fail");
  EXPECT_EQ(check(simulation.record(), "spi.protect").reason, "the protect bit is clear after End of DXE");
  // The write that should have armed it was still made, before the ports went off.
  EXPECT_EQ(check(simulation.record(), "spi.armed-before-ports").verdict, "pass");
}

TEST(Checks, WithoutAnSpiBaseTheFlashStaysUnprotectedAsAWarning) {
  sim::Board board = sim::referenceBoard();
  board.pci.clear();
  {
    boot::Boot boot(board);
    const sim::CheckResult &protect = check(boot.simulation.record(), "spi.protect");
    EXPECT_EQ(protect.verdict, "warn");
    EXPECT_NE(protect.reason.find("unprotected"), std::string::npos);
    EXPECT_EQ(check(boot.simulation.record(), "spi.lock").verdict, "not-applicable");
    EXPECT_EQ(boot.simulation.record().unexpectedWarnings(), 1u);
  }
  // Stated in the board, it is what the board expects.
  board.expectedVerdicts["spi.protect"] = "warn";
  boot::Boot expected(board);
  EXPECT_EQ(expected.simulation.record().unexpectedWarnings(), 0u);
}

TEST(Checks, AMissingAcpiMmioRangeFailsRuntimeMmioAndCountsItsAssertion) {
  sim::Board board = sim::referenceBoard();
  std::erase_if(board.gcd, [](const sim::GcdRange &range) {
    return range.base <= 0xFED80000 && 0xFED80000 - range.base < range.length;
  });
  // Only the SPI page's surroundings stay described.
  board.gcd.push_back(sim::GcdRange{0xFEC00000, 0x20000, 0x8000000000000001ULL, 1,
                                    EfiGcdMemoryTypeMemoryMappedIo, nullptr, nullptr});
  boot::Boot boot(board);
  const sim::BootRecord &record = boot.simulation.record();
  EXPECT_EQ(check(record, "runtime-mmio").verdict, "fail") << verdicts(record);
  EXPECT_NE(check(record, "runtime-mmio").reason.find("ACPI MMIO page"), std::string::npos);
  EXPECT_EQ(check(record, "assertions").verdict, "fail");
  EXPECT_EQ(check(record, "breakpoints").verdict, "fail");
  ASSERT_FALSE(record.assertions.empty());
  EXPECT_EQ(record.assertions[0].expression, "!EFI_ERROR (Status)");
  EXPECT_EQ(record.assertions[0].code, "KeshInitDxe KeshOnPciEnumComplete");
}

TEST(Checks, ANeverDrainingFirstUartHidesNoAssertionAndFailsTheConsole) {
  sim::Board board = sim::referenceBoard();
  board.uart3F8.neverDrains = true;
  board.failures.push_back(sim::FailureRule{"AllocateMemorySpace", 0, EFI_OUT_OF_RESOURCES, std::nullopt});
  boot::Boot boot(board);
  const sim::BootRecord &record = boot.simulation.record();
  EXPECT_EQ(record.breakpoints, 1u);
  ASSERT_EQ(record.assertions.size(), 1u);
  EXPECT_TRUE(record.assertions[0].reportWritten);
  EXPECT_EQ(record.assertions[0].file, "Features/KeshInit/Dxe/RuntimeMmio.cpp");
  // Injected failures are reported as assertions by design: a warning.
  EXPECT_EQ(check(record, "assertions").verdict, "warn");
  EXPECT_EQ(check(record, "console").verdict, "fail");
  EXPECT_NE(check(record, "console").reason.find("UART 0x3F8"), std::string::npos);
  EXPECT_EQ(check(record, "board.fail-rules").verdict, "pass");
}

TEST(Checks, TheDebugMaskInstallationFailureAssertsBeforeTheConsoleAndIsCounted) {
  sim::Board board = sim::referenceBoard();
  board.failures.push_back(
      sim::FailureRule{"InstallMultipleProtocolInterfaces", 1, EFI_OUT_OF_RESOURCES, std::nullopt});
  boot::Boot boot(board);
  const sim::BootRecord &record = boot.simulation.record();
  ASSERT_GE(record.assertions.size(), 1u) << verdicts(record);
  EXPECT_EQ(record.assertions.size(), record.breakpoints);
  EXPECT_TRUE(record.assertions[0].reportWritten);
  EXPECT_EQ(record.assertions[0].code, "KeshInitDxe _ModuleEntryPoint");
}

TEST(Checks, AnInjectedFailureNamesTheProtocolItWasAbout) {
  sim::Board board = sim::referenceBoard();
  board.failures.push_back(sim::FailureRule{"LocateProtocol", 1, EFI_NOT_FOUND, gMc5744ProtocolGuid});
  boot::Boot boot(board);
  const sim::BootRecord &record = boot.simulation.record();
  ASSERT_EQ(record.injected.size(), 1u);
  EXPECT_EQ(record.injected[0], "LocateProtocol call 1 (about MC5744) -> Not Found");
  EXPECT_NE(sim::textSummary(record).find("  LocateProtocol call 1 (about MC5744) -> Not Found\n"),
            std::string::npos);
}

TEST(Checks, ARuleThatNeverFiresIsABoardMistake) {
  sim::Board board = sim::referenceBoard();
  board.failures.push_back(sim::FailureRule{"CloseEvent", 99, EFI_INVALID_PARAMETER, std::nullopt});
  boot::Boot boot(board);
  const sim::CheckResult &rules = check(boot.simulation.record(), "board.fail-rules");
  EXPECT_EQ(rules.verdict, "fail");
  EXPECT_EQ(rules.reason, "never fired: rule 1 (CloseEvent call 99)");
}

TEST(Checks, ALostFunctionTheTableDoesNotRestoreFailsTheResume) {
  sim::Board board = s3Board();
  // The SPI bridge holds its base in configuration space; nothing records it.
  board.pci[0].registers.push_back({0x40, 0x1234});
  board.s3.lose.push_back(sim::PciLocation{0, 0x14, 3});
  sim::Simulation simulation(board, kImage);
  // Changed during the boot, so the loss is visible.
  simulation.pci().write32(sim::PciLocation{0, 0x14, 3}, 0x40, 0x5678);
  simulation.run();
  const sim::CheckResult &resume = check(simulation.record(), "s3.resume");
  EXPECT_EQ(resume.verdict, "fail") << verdicts(simulation.record());
  EXPECT_NE(resume.reason.find("not restored"), std::string::npos) << resume.reason;
}

TEST(Checks, ATableNeverHandedOffFailsTheHandOffAndWarnsInPool) {
  sim::Board board = s3Board();
  board.smmCommunication = false;
  board.s3.resume = false;
  boot::Boot boot(board);
  const sim::BootRecord &record = boot.simulation.record();
  EXPECT_EQ(check(record, "s3.handoff").verdict, "fail") << verdicts(record);
  EXPECT_EQ(check(record, "pool").verdict, "warn") << verdicts(record);
}

// The policy checks compare two independent readings; a difference in
// either direction is named.
TEST(Checks, APolicyDifferenceIsNamed) {
  boot::Boot boot(sim::loadBoardFile(std::string(KESH_SOURCE_DIR) + "/boards/redundant-os-sata.toml"));
  sim::Board board = boot.simulation.board();
  sim::BootRecord record = boot.simulation.record();
  ASSERT_EQ(check(record, "sata-policy").verdict, "pass");
  ASSERT_TRUE(record.expectedPolicy);
  ASSERT_FALSE(record.expectedPolicy->dieDisableBits.empty());
  record.actualPolicy.dieDisableBits.begin()->second <<= 1;
  record.actualPolicy.portMaskCalls.emplace_back(0x4, 0x4);
  record.checks = sim::runChecks(record, board);
  EXPECT_EQ(check(record, "sata-policy").verdict, "fail");
  EXPECT_NE(check(record, "sata-policy").reason.find("port-disable bits"), std::string::npos);
  EXPECT_EQ(check(record, "usb-policy").verdict, "fail");
  EXPECT_NE(check(record, "usb-policy").reason.find("(0x4, 0x4)"), std::string::npos);
}

TEST(Checks, OpenEventsAndLeftPoolFail) {
  boot::Boot boot(sim::referenceBoard());
  sim::Board board = sim::referenceBoard();
  sim::BootRecord record = boot.simulation.record();
  for (sim::RecordedEvent &event : record.events) {
    event.closed = event.notifyFunction == "KeshOnEndOfDxe" ? false : event.closed;
  }
  record.pool.push_back(sim::PoolRecord{32, "EfiBootServicesData", "KeshInitDxe", "pool[9]", false, false});
  record.entryStatus = "Out of Resources";
  record.checks = sim::runChecks(record, board);
  EXPECT_EQ(check(record, "events").verdict, "fail");
  EXPECT_EQ(check(record, "events").reason, "left open after it ran: KeshOnEndOfDxe");
  EXPECT_EQ(check(record, "pool").verdict, "fail");
  EXPECT_EQ(check(record, "entry").verdict, "fail");
}

TEST(Checks, AnExpectationNamingNoCheckOrVerdictIsRefused) {
  sim::Board board = sim::referenceBoard();
  board.expectedVerdicts["spi.locked"] = "pass";
  EXPECT_THROW(sim::Simulation(board, kImage), sim::BoardError);
  board.expectedVerdicts = {{"spi.lock", "passed"}};
  EXPECT_THROW(sim::Simulation(board, kImage), sim::BoardError);
}

} // namespace
