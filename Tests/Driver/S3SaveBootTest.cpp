// SPDX-License-Identifier: BSD-2-Clause-Patent
// Whole boots with the S3 save library in the driver and in a second
// module (S3ClientDxe): the shared table, the hand-off to the SMM replay
// handler and the simulated sleep and resume.
#include "BootHarness.h"
#include "Boot/Report.h"

#include <Guid/EventGroup.h>
#include <Protocol/DebugPrintSvc.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using boot::count;

sim::Board s3Board() {
  return sim::loadBoardFile(std::string(KESH_SOURCE_DIR) + "/boards/s3-resume.toml");
}

struct ClientWrite {
  uint64_t address;
  unsigned widthBytes;
  uint64_t value;
};
// What S3ClientDxe programs, as addresses of the board's window at 0xE0000000,
// then its one register of the hub's ACPI MMIO page.
const std::vector<ClientWrite> kClientWrites = {
    {0xE0100040, 1, 0x5A},       {0xE0100046, 2, 0xBEEF},
    {0xE0100048, 4, 0x12345678}, {0xE0100050, 8, 0x0123456789ABCDEFULL},
    {0xE0219010, 4, 0xC0DE0001}, {0xFED80E00, 4, 0x4B455348}};

std::vector<const sim::EventInfo *> eventsOf(sim::Simulation &simulation, const std::string &owner) {
  std::vector<const sim::EventInfo *> out;
  for (const auto &event : simulation.core().events()) {
    if (event.owner == owner) {
      out.push_back(&event);
    }
  }
  return out;
}

std::vector<sim::PcdWrite> writesOf(sim::Simulation &simulation, UINTN token) {
  std::vector<sim::PcdWrite> out;
  for (const sim::PcdWrite &write : simulation.core().pcdWrites()) {
    if (write.token == token) {
      out.push_back(write);
    }
  }
  return out;
}

TEST(S3SaveBoot, TheS3ResumeBoardReplaysEveryRecordedRegisterToItsValueAtReadyToBoot) {
  boot::Boot boot(s3Board());
  const sim::Simulation &simulation = boot.simulation;
  ASSERT_TRUE(simulation.outcome().completed) << boot.console();
  EXPECT_TRUE(simulation.assertions().empty()) << boot.console();
  const sim::SmmCommunicationModel *smm = simulation.s3().smmCommunication();
  ASSERT_NE(smm, nullptr);
  ASSERT_EQ(smm->calls().size(), 1u) << "the second Ready to Boot sends nothing";
  const sim::SmmCommunicateCall &call = smm->calls()[0];
  ASSERT_TRUE(call.accepted) << call.reason;
  ASSERT_EQ(call.decoded.entries.size(), kClientWrites.size());
  for (size_t i = 0; i < kClientWrites.size(); i++) {
    const sim::S3TableEntry &entry = call.decoded.entries[i];
    EXPECT_EQ(entry.type, 3);
    EXPECT_EQ(entry.offset, 0x30 + 24 * i);
    EXPECT_EQ(entry.arguments[1], kClientWrites[i].address) << i;
    EXPECT_EQ(entry.widthBytes(), kClientWrites[i].widthBytes) << i;
    EXPECT_EQ(entry.arguments[2], kClientWrites[i].value) << i;
  }
  for (const char *line : {"S3ClientDxe: S3SavePciWrite (1, 0x00100040) = 0\r\n",
                           "S3ClientDxe: S3SavePciWrite (4, 0x00100050) = 0\r\n",
                           "S3ClientDxe: S3SavePciWrite (3, 0x00219010) = 0\r\n"}) {
    EXPECT_EQ(count(boot.console(), line), 1u) << line << boot.console();
  }

  const auto &resume = simulation.s3().resumeResult();
  ASSERT_TRUE(resume);
  EXPECT_EQ(resume->lost.size(), 2u);
  EXPECT_EQ(resume->replayed, kClientWrites.size());
  ASSERT_EQ(resume->registers.size(), kClientWrites.size());
  for (const sim::ReplayedRegister &reg : resume->registers) {
    EXPECT_TRUE(reg.matches()) << std::hex << reg.address;
  }
  EXPECT_TRUE(resume->unrestored.empty());
  EXPECT_EQ(resume->mismatches(), 0u);
  // The replay went through the window, after the boot.
  EXPECT_NE(boot.firstAccess(sim::AccessKind::MmioWrite, 0xE0100050, 0), std::string::npos);

  std::string summary = sim::textSummary(boot.simulation);
  EXPECT_NE(summary.find("-- S3 resume: 6 entries replayed, 6 registers compared, 0 mismatches"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("0x0078  mem-write  width 64-bit  address 0x00000000E0100050  value "
                         "0x0123456789ABCDEF  (01:00.0+0x050)"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("F0 61 40 5C 51 D0 43 4F BC 23 5E 5E 89 B3 CE C0"), std::string::npos) << summary;
  EXPECT_NE(summary.find("-- S3 save library: closed"), std::string::npos) << summary;
  auto json = sim::jsonReport(boot.simulation);
  EXPECT_EQ(json["s3"]["smm_communication"]["calls"][0]["table"]["entries"].size(), 6u);
  EXPECT_EQ(json["s3"]["smm_communication"]["calls"][0]["message"].get<std::string>().substr(0, 32),
            "F061405C51D0434FBC235E5E89B3CEC0");
  EXPECT_EQ(json["s3"]["resume"]["mismatches"], 0);
  EXPECT_EQ(json["s3"]["library"]["table_closed"], 1);
}

TEST(S3SaveBoot, TheSecondModuleAdoptsTheDriversPrivateDataWithItsOwnGlobals) {
  boot::Boot boot(s3Board());
  sim::Simulation &simulation = boot.simulation;
  auto writes = writesOf(simulation, 214);
  ASSERT_EQ(writes.size(), 1u) << "only the first module creates the private data";
  EXPECT_EQ(writes[0].owner, "KeshInitDxe");
  EXPECT_TRUE(eventsOf(simulation, "S3ClientDxe").empty()) << "an adopting module registers nothing";
  EXPECT_EQ(eventsOf(simulation, "KeshInitDxe").size(), 6u);
  const auto *service = simulation.s3().debugPrint();
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->printedText(), "OrunS3LibPrivateData allocation\nOrunS3SaveCloseTableCallBack\n");
  // Each image read the window itself: its own mMMIOAddress.
  EXPECT_EQ(boot.accesses(sim::AccessKind::ReadMsr, 0xC0010058), 2u);
  // The table is the client's first record's, handed off by the driver.
  const sim::SmmCommunicateCall &call = simulation.s3().smmCommunication()->calls().at(0);
  EXPECT_NE(call.tableName.find("S3ClientDxe"), std::string::npos) << call.tableName;
  EXPECT_NE(call.privateDataName.find("KeshInitDxe"), std::string::npos) << call.privateDataName;
}

TEST(S3SaveBoot, WritesBeforeReadyToLockGoToTheBootScriptAndTheResumeShowsThemLost) {
  sim::Board board = s3Board();
  board.timeline = {sim::Step::Load, sim::Step::LoadS3Client, sim::Step::SmmReadyToLock,
                    sim::Step::ReadyToBoot};
  boot::Boot boot(board);
  EXPECT_EQ(count(boot.console(), "S3ClientDxe: S3SavePciWrite"), 5u);
  EXPECT_EQ(count(boot.console(), ") = 0\r\n"), 6u) << "the standard operation succeeded";
  EXPECT_EQ(boot.simulation.s3().debugPrint()->printedText(),
            "OrunS3LibPrivateData allocation\nOrunS3SaveCloseTableCallBack\nmOrunS3LibPrivateData is NULL\n");
  EXPECT_TRUE(boot.simulation.s3().smmCommunication()->calls().empty());
  const auto &resume = boot.simulation.s3().resumeResult();
  ASSERT_TRUE(resume);
  EXPECT_EQ(resume->replayed, 0u);
  EXPECT_NE(resume->note.find("accepted no table"), std::string::npos) << resume->note;
  // 0x40, 0x44 (0x46), 0x48, 0x50, 0x54 of 1:00.0 and 0x10 of 2:03.1.
  EXPECT_EQ(resume->unrestored.size(), 6u);
  EXPECT_EQ(resume->mismatches(), 6u);
}

TEST(S3SaveBoot, AClientLoadedFirstOwnsThePrivateDataAndReadyToLockBeforeItLocksAtOnce) {
  sim::Board board = s3Board();
  board.timeline = {sim::Step::SmmReadyToLock, sim::Step::LoadS3Client, sim::Step::Load,
                    sim::Step::ReadyToBoot};
  boot::Boot boot(board);
  sim::Simulation &simulation = boot.simulation;
  EXPECT_TRUE(simulation.assertions().empty()) << boot.console();
  auto writes = writesOf(simulation, 214);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].owner, "S3ClientDxe");
  auto client = eventsOf(simulation, "S3ClientDxe");
  ASSERT_EQ(client.size(), 2u);
  EXPECT_TRUE(client[0]->closed) << "already installed: locked and closed inside the constructor";
  EXPECT_EQ(client[0]->notifies, 1u);
  EXPECT_TRUE(client[1]->closed);
  EXPECT_EQ(eventsOf(simulation, "KeshInitDxe").size(), 4u) << "the driver adopts";
  ASSERT_EQ(simulation.s3().smmCommunication()->calls().size(), 1u);
  EXPECT_TRUE(simulation.s3().smmCommunication()->calls()[0].accepted);
  EXPECT_EQ(simulation.s3().resumeResult()->mismatches(), 0u);
}

TEST(S3SaveBoot, TheDebugPrintServiceIsLookedUpUntilFoundThenCachedAndFiltersItsLines) {
  {
    sim::Board without = sim::referenceBoard();
    without.debugPrintService.reset();
    boot::Boot silent(without);
    // Allocation, hand-off entry, and no table: three prints, three lookups.
    EXPECT_EQ(silent.simulation.core().failures().calls("LocateProtocol", gDebugPrintSvcProtocolGuid), 3u);
    EXPECT_EQ(silent.simulation.s3().debugPrint(), nullptr);
  }
  {
    boot::Boot found(sim::referenceBoard());
    EXPECT_EQ(found.simulation.core().failures().calls("LocateProtocol", gDebugPrintSvcProtocolGuid), 1u);
    EXPECT_EQ(found.simulation.s3().debugPrint()->lines().size(), 3u);
  }
  sim::Board captureOnly = sim::referenceBoard();
  captureOnly.debugPrintService->filters = 0x2000000;
  boot::Boot filtered(captureOnly);
  const auto &lines = filtered.simulation.s3().debugPrint()->lines();
  ASSERT_EQ(lines.size(), 3u);
  for (const sim::DebugPrintLine &line : lines) {
    EXPECT_EQ(line.filter, 0x4000000000000u);
    EXPECT_FALSE(line.printed);
  }
  EXPECT_EQ(boot::count(sim::textSummary(filtered.simulation), "(dropped)"), 3u);
  EXPECT_EQ(filtered.console().find("OrunS3"), std::string::npos) << "kept apart from the UART";
}

TEST(S3SaveBoot, WithTheWindowOffBothModulesAssertAndPciWritesAreRefused) {
  sim::Board board = s3Board();
  board.msr[0xC0010058] = 0xE0000020;
  boot::Boot boot(board);
  auto assertions = boot.simulation.assertions();
  ASSERT_EQ(assertions.size(), 2u) << boot.console();
  for (const auto &assertion : assertions) {
    EXPECT_EQ(assertion.expression, "GetPciMmioAddress (&mMMIOAddress, &mMMIOSize, ((void *) 0)) == 1");
    EXPECT_EQ(assertion.file, "Library/OrunS3SaveLib/S3Save/OrunS3SaveLib.cpp");
  }
  EXPECT_EQ(count(boot.console(), ") = 5\r\n"), 5u) << boot.console();
  // Only the memory-mapped record needs no window: the table holds it alone.
  const auto &calls = boot.simulation.s3().smmCommunication()->calls();
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].decoded.entries.size(), 1u);
  EXPECT_EQ(calls[0].decoded.entries[0].arguments[1], 0xFED80E00u);
  EXPECT_NE(sim::textSummary(boot.simulation).find("-- PCI configuration window: disabled"),
            std::string::npos);
}

TEST(S3SaveBoot, AHandOffWhoseEventWouldNotCloseIsNotRunAgainByTheSecondReadyToBoot) {
  for (const char *file : {"s3-resume.toml", "ovmf-equivalent.toml"}) {
    sim::Board board = sim::loadBoardFile(std::string(KESH_SOURCE_DIR) + "/boards/" + file);
    // The fourth close of the boot is the hand-off closing its own event.
    board.failures.push_back(sim::FailureRule{"CloseEvent", 4, EFI_DEVICE_ERROR, std::nullopt});
    boot::Boot boot(board);
    sim::Simulation &simulation = boot.simulation;
    ASSERT_EQ(simulation.core().failures().injected().size(), 1u) << file;
    unsigned twice = 0;
    for (const sim::EventInfo *event : eventsOf(simulation, "KeshInitDxe")) {
      twice += event->group && sim::sameGuid(*event->group, gEfiEventReadyToBootGuid) && event->notifies == 2;
    }
    ASSERT_EQ(twice, 1u) << file << ": the hand-off's event stayed open and ran twice";
    const auto &calls = simulation.s3().smmCommunication()->calls();
    ASSERT_EQ(calls.size(), 1u) << file;
    EXPECT_TRUE(calls[0].accepted) << calls[0].reason;
    EXPECT_EQ(simulation.s3().debugPrint()->printedText(),
              "OrunS3LibPrivateData allocation\nOrunS3SaveCloseTableCallBack\n")
        << file;
    EXPECT_TRUE(simulation.core().diagnostics().empty())
        << file << ": " << simulation.core().diagnostics()[0];
    // Without a configuration window (OVMF's twin) the library's own
    // report of the missing window is the only assertion.
    for (const sim::AssertionRecord &assertion : simulation.assertions()) {
      EXPECT_EQ(assertion.expression.rfind("GetPciMmioAddress", 0), 0u)
          << file << ": " << assertion.expression;
    }
    EXPECT_EQ(simulation.s3().resumeResult() ? simulation.s3().resumeResult()->mismatches() : 0u, 0u);
  }
}

// The second module finds the private data only through PCD 214: when the
// first module's write of it fails, the constructor says so.
TEST(S3SaveBoot, ALostWriteOfThePrivateDataAddressIsReported) {
  sim::Board board = s3Board();
  board.failures.push_back(sim::FailureRule{"PCD.Set64", 1, EFI_NOT_FOUND, std::nullopt});
  boot::Boot boot(board);
  sim::Simulation &simulation = boot.simulation;
  ASSERT_EQ(simulation.core().failures().injected().size(), 1u);
  std::vector<std::string> reports;
  for (const sim::AssertionRecord &assertion : simulation.assertions()) {
    reports.push_back(assertion.file + ": " + assertion.expression);
  }
  EXPECT_EQ(reports,
            std::vector<std::string>{"Library/OrunS3SaveLib/S3Save/OrunS3SaveLib.cpp: !EFI_ERROR (Status)"});
  // Without the address, the client creates private data of its own.
  auto writes = writesOf(simulation, 214);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].owner, "S3ClientDxe");
}

TEST(S3SaveBoot, AWindowThatWouldWrapPastTheTopOfMemoryHandsOffNoLowMemoryWrites) {
  sim::Board board = s3Board();
  board.msr[0xC0010058] = 0xFFFFFFFFFFFFFFFFULL;
  boot::Boot boot(board);
  // Buses 1 and 2 lie past 2^64 - 1 MiB: refused, not wrapped to 0x40 and up.
  EXPECT_EQ(count(boot.console(), ") = 5\r\n"), 5u) << boot.console();
  const auto &calls = boot.simulation.s3().smmCommunication()->calls();
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].decoded.entries.size(), 1u);
  EXPECT_EQ(calls[0].decoded.entries[0].arguments[1], 0xFED80E00u);
}

TEST(S3SaveBoot, BootsOfTheS3BoardAreDeterministic) {
  auto once = []() {
    boot::Boot boot(s3Board());
    return std::make_pair(sim::textSummary(boot.simulation), sim::jsonReport(boot.simulation).dump());
  };
  auto first = once();
  auto second = once();
  EXPECT_EQ(first.first, second.first);
  EXPECT_EQ(first.second, second.second);
}

TEST(S3SaveBoot, TheBoardSettingsAreReadStrictly) {
  auto parse = [](const std::string &text) { return sim::parseBoardToml(text, "test.toml"); };
  sim::Board board = parse("[s3]\ncomm_buffer_size = 64\nresume = true\nlose = [[1, 0, 0], [2, 3, 1]]\n"
                           "[platform.debug_print_service]\nfilters = 0x40\n[platform.smm_communication]\n"
                           "[firmware]\ntimeline = [\"load\", \"load-s3-client\"]\n");
  EXPECT_EQ(board.s3.commBufferSize, 64u);
  EXPECT_TRUE(board.s3.resume);
  EXPECT_EQ(board.s3.lose, (std::vector<sim::PciLocation>{{1, 0, 0}, {2, 3, 1}}));
  EXPECT_EQ(board.debugPrintService->filters, 0x40u);
  EXPECT_TRUE(board.smmCommunication);
  EXPECT_EQ(board.timeline.back(), sim::Step::LoadS3Client);
  EXPECT_THROW(parse("[s3]\ncomm_buffer_size = 16\n"), sim::BoardError) << "shorter than the message";
  EXPECT_THROW(parse("[s3]\nlose = [[1, 32, 0]]\n"), sim::BoardError);
  EXPECT_THROW(parse("[s3]\nresum = true\n"), sim::BoardError);
  EXPECT_THROW(parse("[platform.smm_communication]\nstatus = 1\n"), sim::BoardError);
  sim::Board small = sim::referenceBoard();
  small.s3.commBufferSize = 39;
  EXPECT_THROW(sim::Simulation(small, boot::kImage), sim::BoardError);
}

} // namespace
