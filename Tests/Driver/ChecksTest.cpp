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
using sim::Verdict;

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
    out += result.name + "=" + std::string(sim::verdictName(result.verdict)) + " (" + result.reason + ")\n";
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
    EXPECT_EQ(json["checks"][i]["verdict"], sim::verdictName(record.checks[i].verdict));
    EXPECT_NE(text.find(record.checks[i].name), std::string::npos);
  }
  EXPECT_EQ(check(record, "s3.handoff").verdict, Verdict::Pass) << verdicts(record);
  EXPECT_EQ(check(record, "s3.resume").verdict, Verdict::Pass) << verdicts(record);
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
  EXPECT_EQ(lock.verdict, Verdict::Fail);
  EXPECT_NE(lock.reason.find("the lock bit is clear"), std::string::npos) << lock.reason;
  EXPECT_EQ(check(simulation.record(), "spi.protect").verdict, Verdict::Pass);
  EXPECT_EQ(simulation.record().unexpectedFailures(), 1u);
}

TEST(Checks, AControllerThatIgnoresTheProtectBitFailsTheProtectAndArmedChecks) {
  sim::Simulation simulation(pwdBoard(), kImage);
  auto *spi = const_cast<sim::SpiController *>(simulation.spi());
  IgnoringBits broken(*spi, 0x1D, 0x08);
  simulation.machine().mapMmio(simulation.spiBase(), sim::SpiController::kSize, &broken);
  simulation.run();
  EXPECT_EQ(check(simulation.record(), "spi.protect").verdict, Verdict::Fail);
  EXPECT_EQ(check(simulation.record(), "spi.protect").reason, "the protect bit is clear after End of DXE");
  // The controller never saw protection armed, so the ports went off with the flash open.
  EXPECT_EQ(check(simulation.record(), "spi.armed-before-ports").verdict, Verdict::Fail);
}

TEST(Checks, WithoutAnSpiBaseTheFlashStaysUnprotectedAsAWarning) {
  sim::Board board = sim::referenceBoard();
  board.pci.clear();
  {
    boot::Boot boot(board);
    const sim::CheckResult &protect = check(boot.simulation.record(), "spi.protect");
    EXPECT_EQ(protect.verdict, Verdict::Warn);
    EXPECT_NE(protect.reason.find("unprotected"), std::string::npos);
    EXPECT_EQ(check(boot.simulation.record(), "spi.lock").verdict, Verdict::NotApplicable);
    EXPECT_EQ(boot.simulation.record().unexpectedWarnings(), 1u);
  }
  // Stated in the board, it is what the board expects.
  board.expectations["spi.protect"] = sim::Expectation{Verdict::Warn, std::nullopt};
  boot::Boot expected(board);
  EXPECT_EQ(expected.simulation.record().unexpectedWarnings(), 0u);
}

TEST(Checks, AMissingAcpiMmioRangeWarnsRuntimeMmioAndCallsForItsAssertions) {
  sim::Board board = sim::referenceBoard();
  std::erase_if(board.gcd, [](const sim::GcdRange &range) {
    return range.base <= 0xFED80000 && 0xFED80000 - range.base < range.length;
  });
  // Only the SPI page's surroundings stay described.
  board.gcd.push_back(sim::GcdRange{0xFEC00000, 0x20000, 0x8000000000000001ULL, 1,
                                    EfiGcdMemoryTypeMemoryMappedIo, nullptr, nullptr});
  boot::Boot boot(board);
  const sim::BootRecord &record = boot.simulation.record();
  // The platform's map refuses the page: the driver asserts for each call and
  // goes on, and the finding is the platform's.
  EXPECT_EQ(check(record, "runtime-mmio").verdict, Verdict::Warn) << verdicts(record);
  EXPECT_NE(check(record, "runtime-mmio").reason.find("ACPI MMIO page"), std::string::npos);
  EXPECT_EQ(check(record, "assertions").verdict, Verdict::Pass) << check(record, "assertions").reason;
  EXPECT_EQ(check(record, "assertions").count, 3u);
  ASSERT_FALSE(record.assertions.empty());
  EXPECT_EQ(record.assertions[0].expression, "!EFI_ERROR (Status)");
  EXPECT_EQ(record.assertions[0].code, "KeshInitDxe KeshOnPciEnumComplete");
}

TEST(Checks, ANeverDrainingFirstUartHidesNoAssertionAndWarnsTheConsole) {
  sim::Board board = sim::referenceBoard();
  board.uart3F8.neverDrains = true;
  board.failures.push_back(sim::FailureRule{"AllocateMemorySpace", 0, EFI_OUT_OF_RESOURCES, std::nullopt});
  boot::Boot boot(board);
  const sim::BootRecord &record = boot.simulation.record();
  EXPECT_EQ(record.breakpoints, 1u);
  ASSERT_EQ(record.assertions.size(), 1u);
  EXPECT_TRUE(record.assertions[0].reportWritten);
  EXPECT_EQ(record.assertions[0].file, "Features/KeshInit/Dxe/RuntimeMmio.cpp");
  // The injected failure calls for this assertion: it is what the model expects.
  EXPECT_EQ(check(record, "assertions").verdict, Verdict::Pass) << check(record, "assertions").reason;
  EXPECT_EQ(check(record, "console").verdict, Verdict::Warn);
  EXPECT_NE(check(record, "console").reason.find("UART 0x3F8 never sends"), std::string::npos);
  EXPECT_EQ(check(record, "board.fail-rules").verdict, Verdict::Pass);
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

// The report goes out before the console has programmed the UARTs: with the
// first UART's FIFOs on from an earlier phase and the second decoded but
// still at reset (FIFOs off), a 16-byte burst would overrun the second.
TEST(Checks, AReportBeforeTheConsoleIsSetUpLosesNothingOnAUartWithoutFifos) {
  sim::Board board = sim::referenceBoard();
  board.superIo.setUpEarlier = true;
  board.uart3F8.divisor = 1;
  board.uart3F8.lcr = 0x03;
  board.uart3F8.fcr = 0x01;
  board.failures.push_back(
      sim::FailureRule{"InstallMultipleProtocolInterfaces", 1, EFI_OUT_OF_RESOURCES, std::nullopt});
  boot::Boot boot(board);
  const sim::BootRecord &record = boot.simulation.record();
  ASSERT_TRUE(record.assertions.at(0).reportWritten);
  for (const sim::UartRecord &uart : record.console.uarts) {
    EXPECT_EQ(uart.lost, 0u) << uart.base;
  }
  EXPECT_EQ(check(record, "console").reason.find("lost"), std::string::npos)
      << check(record, "console").reason;
}

TEST(Checks, AnInjectedFailureNamesTheProtocolItWasAbout) {
  sim::Board board = sim::referenceBoard();
  board.failures.push_back(sim::FailureRule{"LocateProtocol", 1, EFI_NOT_FOUND, gMc5744ProtocolGuid});
  boot::Boot boot(board);
  const sim::BootRecord &record = boot.simulation.record();
  ASSERT_EQ(record.injected.size(), 1u);
  EXPECT_TRUE(record.injected[0].guid && sim::sameGuid(*record.injected[0].guid, gMc5744ProtocolGuid));
  EXPECT_EQ(record.injected[0].function, "KeshOnEndOfDxe");
  EXPECT_NE(sim::textSummary(record).find(
                "  LocateProtocol call 1 (about MC5744) in KeshInitDxe KeshOnEndOfDxe -> Not Found\n"),
            std::string::npos);
}

TEST(Checks, ARuleThatNeverFiresIsABoardMistake) {
  sim::Board board = sim::referenceBoard();
  board.failures.push_back(sim::FailureRule{"CloseEvent", 99, EFI_INVALID_PARAMETER, std::nullopt});
  boot::Boot boot(board);
  const sim::CheckResult &rules = check(boot.simulation.record(), "board.fail-rules");
  EXPECT_EQ(rules.verdict, Verdict::Fail);
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
  EXPECT_EQ(resume.verdict, Verdict::Fail) << verdicts(simulation.record());
  EXPECT_NE(resume.reason.find("not restored"), std::string::npos) << resume.reason;
}

TEST(Checks, ATableNeverHandedOffFailsTheHandOffAndLeaksPool) {
  sim::Board board = s3Board();
  board.smmCommunication = false;
  board.s3.resume = false;
  boot::Boot boot(board);
  const sim::BootRecord &record = boot.simulation.record();
  EXPECT_EQ(check(record, "s3.handoff").verdict, Verdict::Fail) << verdicts(record);
  EXPECT_EQ(check(record, "pool.leaks").verdict, Verdict::Fail) << verdicts(record);
  EXPECT_NE(check(record, "pool.leaks").reason.find("never handed off"), std::string::npos);
}

TEST(Checks, AnExpectationNamingNoCheckOrCountingNothingIsRefused) {
  sim::Board board = sim::referenceBoard();
  board.expectations["spi.locked"] = sim::Expectation{Verdict::Pass, std::nullopt};
  EXPECT_THROW(sim::Simulation(board, kImage), sim::BoardError);
  board.expectations = {{"spi.lock", sim::Expectation{Verdict::Pass, 1}}};
  EXPECT_THROW(sim::Simulation(board, kImage), sim::BoardError);
}

// A stated count must be met exactly: more or fewer is unexpected.
TEST(Checks, AStatedCountIsComparedExactly) {
  boot::Boot boot(sim::loadBoardFile(std::string(KESH_SOURCE_DIR) + "/boards/ovmf-equivalent.toml"));
  sim::CheckResult assertions = check(boot.simulation.record(), "assertions");
  ASSERT_EQ(assertions.count, 2u);
  EXPECT_TRUE(assertions.asExpected());
  assertions.expected->count = 1;
  EXPECT_FALSE(assertions.asExpected());
}

// ---- Every check fails on wrong boots: a real boot's record, changed the
// way a faulty driver or platform would change it.

struct WrongBoot {
  const char *check;
  const char *board; // under boards/
  const char *fault;
  std::function<void(sim::BootRecord &)> plant;
  const char *reason;              // part of the failing reason
  Verdict verdict = Verdict::Fail; // a check that only warns warns
};

sim::RecordedEvent *eventOf(sim::BootRecord &r, const std::string &function) {
  for (sim::RecordedEvent &event : r.events) {
    if (event.notifyFunction == function) {
      return &event;
    }
  }
  throw std::logic_error("no event of " + function);
}

sim::AssertionRecord anAssertion(uint64_t breakpoint) {
  return sim::AssertionRecord{
      "Features/KeshInit/Dxe/RuntimeMmio.cpp", 12,  "!EFI_ERROR (Status)", breakpoint, 0,
      "KeshInitDxe KeshOnPciEnumComplete",     true};
}

const WrongBoot kWrongBoots[] = {
    {"entry", "reference.toml", "the entry returns an error",
     [](auto &r) { r.entryStatus = EFI_OUT_OF_RESOURCES; }, "returned Out of Resources"},
    {"halt", "reference.toml", "a dead loop", [](auto &r) { r.haltReason = sim::HaltReason::DeadLoop; },
     "the machine halted: dead loop"},
    {"events.closed", "reference.toml", "KeshOnEndOfDxe does not close its event",
     [](auto &r) { eventOf(r, "KeshOnEndOfDxe")->closed = false; }, "left open after it ran: KeshOnEndOfDxe"},
    {"events.closed", "reference.toml", "KeshOnPciEnumComplete does not close its event",
     [](auto &r) { eventOf(r, "KeshOnPciEnumComplete")->closed = false; }, "KeshOnPciEnumComplete"},
    {"events.once", "reference.toml", "a group notify runs twice",
     [](auto &r) { eventOf(r, "KeshOnEndOfDxe")->notifies = 2; }, "ran 2 times"},
    {"runtime-mmio", "reference.toml", "the ACPI page is not allocated",
     [](auto &r) {
       for (sim::MapChange &change : r.mapChanges) {
         change.owner = change.base == 0xFED80000 ? "" : change.owner;
       }
     },
     "not allocated by the driver"},
    {"runtime-mmio", "reference.toml", "WriteBufferEn left clear",
     [](auto &r) { r.spi->writeBufferEnabled = false; }, "WriteBufferEn is clear"},
    {"spi.protect", "reference.toml", "the protect bit left clear", [](auto &r) { r.spi->protect = false; },
     "the protect bit is clear"},
    {"spi.protect", "reference.toml", "no DXE services: the base refused, nothing protected",
     [](auto &r) {
       r.platform.dxeServices = false;
       r.spi->protect = false;
     },
     "the protect bit is clear"},
    {"spi.lock", "pwd-2040-back-ports.toml", "the lock bit written before the protect bit",
     [](auto &r) { std::swap(r.spi->armedWrite, r.spi->lockedWrite); },
     "the lock bit was written before the protect bit"},
    {"spi.lock", "reference.toml", "locked while the PWD answers 2",
     [](auto &r) {
       r.platform.pwdAnswer = 2;
       r.spi->lock = true;
     },
     "the controller was locked"},
    {"spi.lock", "pwd-2040-back-ports.toml", "an opcode left open",
     [](auto &r) { r.spi->opcodes[3].restricted = false; }, "is not restricted"},
    {"spi.armed-before-ports", "pwd-2040-back-ports.toml", "a port switched off before the protect bit",
     [](auto &r) { r.spi->armedAt = *r.spi->firstPortOffAt + 1; }, "armed after a port went off"},
    {"usb-policy", "system-2041-back-ports.toml", "the 2041 internal USB and SD-card location bits swapped",
     [](auto &r) { r.actualPolicy.hubLocations = 0x10; }, "hub locations 0x10"},
    {"usb-policy", "pwd-2040-back-ports.toml", "a port mask call too many",
     [](auto &r) { r.actualPolicy.portMaskCalls.emplace_back(0x4, 0x4); }, "(0x4, 0x4)"},
    {"sata-policy", "redundant-os-sata.toml", "bit 0 of the port-disable register left set",
     [](auto &r) { r.actualPolicy.dieWrites.begin()->second.back() |= 1; }, "port-disable writes"},
    {"sata-policy", "redundant-os-sata.toml", "the PCD record dropped",
     [](auto &r) { r.actualPolicy.pcd.clear(); }, "PCD none where"},
    {"console", "reference.toml", "the CR before each LF dropped",
     [](auto &r) {
       for (sim::UartRecord &uart : r.console.uarts) {
         std::erase(uart.written, '\r');
         uart.bytes = uart.written;
       }
     },
     "a line feed without a carriage return"},
    {"console", "reference.toml", "a byte lost on the line",
     [](auto &r) { r.console.uarts[0].bytes.pop_back(); }, "sent other bytes than the firmware wrote"},
    {"console", "reference.toml", "a dead console while an assertion happened",
     [](auto &r) {
       for (sim::UartRecord &uart : r.console.uarts) {
         uart.written.clear();
         uart.bytes.clear();
       }
       r.assertions.push_back(anAssertion(1));
       r.breakpoints = 1;
     },
     "carried nothing"},
    // A platform that degrades one UART does not excuse what the driver does to the other.
    {"console", "reference.toml", "bytes lost into a full FIFO while the other UART is absent",
     [](auto &r) {
       r.console.uarts[1].present = false;
       r.console.uarts[0].lost = 3;
     },
     "UART 0x3F8 lost 3"},
    {"console", "reference.toml", "a bare line feed while the first UART reports its FIFOs off",
     [](auto &r) {
       r.console.uarts[0].fifoReportsOff = true;
       std::erase(r.console.uarts[1].written, '\r');
       r.console.uarts[1].bytes = r.console.uarts[1].written;
     },
     "a line feed without a carriage return"},
    {"runtime-mmio", "spi-page-not-in-gcd.toml", "the ACPI MMIO page not allocated where the map offers it",
     [](auto &r) {
       for (sim::MapChange &change : r.mapChanges) {
         change.owner.clear();
       }
     },
     "not allocated by the driver"},
    {"assertions", "reference.toml", "an assertion report printed without its trap",
     [](auto &r) { r.assertions.push_back(anAssertion(0)); }, "without their breakpoint trap"},
    {"assertions", "reference.toml", "an assertion nothing calls for",
     [](auto &r) {
       r.assertions.push_back(anAssertion(1));
       r.breakpoints = 1;
     },
     "1 assertions"},
    {"breakpoints", "reference.toml", "a trap that ends no assertion", [](auto &r) { r.breakpoints = 1; },
     "0 of them after an assertion"},
    {"fatal-stops", "reference.toml", "a fatal stop",
     [](auto &r) {
       r.fatalStops.push_back({0xA10D0142, {}, true});
     },
     "1 fatal stops"},
    {"pool.leaks", "reference.toml", "a 62-byte block never freed",
     [](auto &r) {
       r.pool.push_back(sim::PoolRecord{9, 62, EfiBootServicesData, "KeshInitDxe", false, false});
     },
     "62 bytes of KeshInitDxe"},
    {"pool.misuse", "reference.toml", "a double free",
     [](auto &r) { r.poolMisuse.push_back("KeshInitDxe: double free of pool[1]"); }, "double free"},
    {"s3.handoff", "s3-resume.toml", "the table not freed after the hand-off",
     [](auto &r) { r.s3.smmCalls[0].tableBlock->kind = sim::MemoryRef::Kind::Pool; }, "never freed"},
    {"s3.handoff", "s3-resume.toml", "the close-table callback returns before the hand-off",
     [](auto &r) { r.s3.smmCalls.clear(); }, "never handed off"},
    {"s3.resume", "s3-resume.toml", "a register the replay left different",
     [](auto &r) {
       r.s3.resume->unrestored.push_back({sim::PciLocation{0, 0x14, 3}, 0x40, 1, 2});
     },
     "not restored"},
    {"board.fail-rules", "reference.toml", "a rule that never fired",
     [](auto &r) {
       r.failureRules.push_back({"CloseEvent", 99, EFI_INVALID_PARAMETER, std::nullopt, 0});
     },
     "never fired: rule 1"},
    {"board.near-misses", "reference.toml", "an attribute one letter off the one the driver read",
     [](auto &r) {
       r.nearMisses.push_back({sim::NearMissKind::Attribute, "UsbPort", std::nullopt, "", "UsbPorts"});
     },
     "attribute UsbPort: never read; did you mean UsbPorts?", Verdict::Warn},
    {"board.near-misses", "redundant-os-sata.toml", "a value off in spacing from the SATA port's",
     [](auto &r) {
       r.nearMisses.push_back(
           {sim::NearMissKind::Value, "RedundantOsLocation", std::nullopt, "Port 5", "Port5"});
     },
     "RedundantOsLocation = \"Port 5\": not a value the driver acts on; did you mean \"Port5\"?",
     Verdict::Warn},
    {"failure-path", "reference.toml", "an injected failure that went unreported",
     [](auto &r) {
       sim::FailureHitRecord hit;
       hit.service = "GetMemorySpaceDescriptor";
       hit.image = "KeshInitDxe";
       hit.function = "KeshOnPciEnumComplete";
       hit.occurrence = 1;
       r.injected.push_back(hit);
     },
     "failed without an assertion"},
};

class WrongBoots : public ::testing::TestWithParam<WrongBoot> {};

TEST_P(WrongBoots, TheCheckFails) {
  const WrongBoot &wrong = GetParam();
  static std::map<std::string, sim::BootRecord> records;
  if (!records.count(wrong.board)) {
    boot::Boot boot(sim::loadBoardFile(std::string(KESH_SOURCE_DIR) + "/boards/" + wrong.board));
    records[wrong.board] = boot.simulation.record();
  }
  sim::BootRecord record = records.at(wrong.board);
  ASSERT_NE(sim::runCheck(record, wrong.check).verdict, wrong.verdict) << "the real boot passes";
  wrong.plant(record);
  sim::CheckResult judged = sim::runCheck(record, wrong.check);
  EXPECT_EQ(judged.verdict, wrong.verdict) << wrong.fault << ": " << judged.reason;
  EXPECT_NE(judged.reason.find(wrong.reason), std::string::npos) << wrong.fault << ": " << judged.reason;
}

INSTANTIATE_TEST_SUITE_P(EveryCheck, WrongBoots, ::testing::ValuesIn(kWrongBoots),
                         [](const ::testing::TestParamInfo<WrongBoot> &info) {
                           std::string name = std::to_string(info.index) + "_" + info.param.check;
                           for (char &c : name) {
                             c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           }
                           return name;
                         });

TEST(WrongBoots, EveryCheckHasOne) {
  for (std::string_view name : sim::checkNames()) {
    EXPECT_TRUE(std::any_of(std::begin(kWrongBoots), std::end(kWrongBoots), [name](const WrongBoot &wrong) {
      return wrong.check == name;
    })) << name;
  }
}

} // namespace
