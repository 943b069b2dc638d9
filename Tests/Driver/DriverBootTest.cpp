// SPDX-License-Identifier: BSD-2-Clause-Patent
// Whole boots of the driver's host image on simulated boards.
#include "BootHarness.h"
#include "Boot/Report.h"

#include <Guid/EventGroup.h>
#include <Protocol/DxeSmmReadyToLock.h>
#include <Protocol/PciEnumerationComplete.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using boot::count;
using boot::kImage;
using Booted = boot::Boot;

sim::Board boardWith(std::vector<sim::Step> timeline) {
  sim::Board board = sim::referenceBoard();
  board.timeline = std::move(timeline);
  return board;
}

TEST(DriverBoot, ReferenceBoardLogsEachNotifyOnceInBootOrder) {
  sim::Board board = sim::referenceBoard();
  ASSERT_EQ(std::count(board.timeline.begin(), board.timeline.end(), sim::Step::ReadyToBoot), 2)
      << "the reference board signals Ready to Boot twice";
  Booted boot(board);
  ASSERT_TRUE(boot.simulation.outcome().completed);
  const std::string &console = boot.console();
  const char *lines[] = {"KeshInitEntryPoint Entry\r\n",  "KeshInitEntryPoint Exit\r\n",
                         "KeshOnEndOfDxe() Entry\r\n",    "KeshOnEndOfDxe() Exit\r\n",
                         "KeshOnReadyToBoot() Entry\r\n", "KeshOnReadyToBoot() Exit\r\n"};
  size_t previous = 0;
  for (const char *line : lines) {
    EXPECT_EQ(count(console, line), 1u) << line;
    size_t at = console.find(line);
    EXPECT_GE(at, previous) << line << " out of order in:\n" << console;
    previous = at;
  }
  EXPECT_EQ(count(console, "\n"), count(console, "\r\n")) << "every line ends in CR LF";
  EXPECT_TRUE(boot.simulation.assertions().empty()) << console;
  EXPECT_EQ(boot.simulation.outcome().entryStatus, EFI_SUCCESS);
}

TEST(DriverBoot, EveryNotifyThatActsClosesItsEventAndExitBootServicesStaysOpen) {
  Booted boot(sim::referenceBoard());
  std::vector<const sim::EventInfo *> driverEvents;
  for (const auto &event : boot.simulation.core().events()) {
    if (event.owner == "KeshInitDxe") {
      driverEvents.push_back(&event);
    }
  }
  // The S3 save library's constructor registers its ready-to-lock notify and
  // its Ready-to-Boot hand-off before the entry runs.
  ASSERT_EQ(driverEvents.size(), 6u);
  ASSERT_TRUE(driverEvents[0]->notifyProtocol.has_value());
  EXPECT_TRUE(sim::sameGuid(*driverEvents[0]->notifyProtocol, gEfiDxeSmmReadyToLockProtocolGuid));
  EXPECT_TRUE(sim::sameGuid(*driverEvents[1]->group, gEfiEventReadyToBootGuid));
  EXPECT_TRUE(driverEvents[0]->closed && driverEvents[1]->closed);
  driverEvents.erase(driverEvents.begin(), driverEvents.begin() + 2);
  // Registration order: PCI notify, End of DXE, Ready to Boot, Exit Boot Services.
  EXPECT_FALSE(driverEvents[0]->group.has_value());
  EXPECT_EQ(std::memcmp(&*driverEvents[1]->group, &gEfiEndOfDxeEventGroupGuid, sizeof(EFI_GUID)), 0);
  EXPECT_EQ(std::memcmp(&*driverEvents[2]->group, &gEfiEventReadyToBootGuid, sizeof(EFI_GUID)), 0);
  EXPECT_EQ(driverEvents[3]->type, static_cast<UINT32>(EVT_SIGNAL_EXIT_BOOT_SERVICES));
  for (const auto *event : driverEvents) {
    EXPECT_EQ(event->notifyTpl, static_cast<EFI_TPL>(TPL_CALLBACK));
    EXPECT_EQ(event->context, nullptr);
  }
  EXPECT_TRUE(driverEvents[0]->closed);
  EXPECT_EQ(driverEvents[0]->notifies, 2u) << "once at registration, once at installation";
  EXPECT_TRUE(driverEvents[1]->closed);
  EXPECT_TRUE(driverEvents[2]->closed);
  EXPECT_EQ(driverEvents[2]->notifies, 1u) << "the second Ready to Boot must not reach the closed event";
  EXPECT_FALSE(driverEvents[3]->closed);
  EXPECT_EQ(driverEvents[3]->notifies, 1u);
}

TEST(DriverBoot, PciEnumerationCompleteBeforeLoadIsHandledInsideTheEntry) {
  Booted boot(boardWith({sim::Step::PciEnumerationComplete, sim::Step::Load, sim::Step::EndOfDxe}));
  const sim::EventInfo *pciNotify = nullptr;
  for (const auto &event : boot.simulation.core().events()) {
    if (event.owner == "KeshInitDxe" && event.notifyProtocol &&
        sim::sameGuid(*event.notifyProtocol, gEfiPciEnumerationCompleteProtocolGuid)) {
      pciNotify = &event;
      break;
    }
  }
  ASSERT_NE(pciNotify, nullptr);
  EXPECT_TRUE(pciNotify->closed);
  EXPECT_EQ(pciNotify->notifies, 1u);
}

TEST(DriverBoot, AnOldFirmwareLoadsTheDriverWithoutReadyToBoot) {
  sim::Board board = sim::referenceBoard();
  board.systemTableRevision = EFI_1_10_SYSTEM_TABLE_REVISION;
  Booted boot(board);
  const std::string &console = boot.console();
  EXPECT_EQ(boot.simulation.outcome().entryStatus, EFI_SUCCESS);
  EXPECT_NE(console.find("EFI1.1 can't support ReadyToBootEvent!"), std::string::npos) << console;
  auto assertions = boot.simulation.assertions();
  ASSERT_EQ(assertions.size(), 2u) << console;
  EXPECT_EQ(assertions[0].expression, "((BOOLEAN)(0==1))");
  EXPECT_EQ(assertions[0].file, "Edk2/Library/UefiLib/UefiLib.cpp");
  EXPECT_EQ(assertions[1].expression, "!EFI_ERROR (Status)");
  EXPECT_EQ(assertions[1].file, "Features/KeshInit/Dxe/KeshInit.cpp");
  EXPECT_NE(console.find("ASSERT_EFI_ERROR (Status = Unsupported)"), std::string::npos);
  EXPECT_EQ(console.find("KeshOnReadyToBoot"), std::string::npos);
  EXPECT_NE(console.find("KeshOnEndOfDxe() Exit\r\n"), std::string::npos);
  EXPECT_EQ(boot.simulation.machine().breakpointCount(), 2u);
}

TEST(DriverBoot, ReadyToBootIsRegisteredFromRevision2Point0On) {
  for (UINT32 revision : {0x00020000u, 0x0001FFFFu}) {
    sim::Board board = sim::referenceBoard();
    board.systemTableRevision = revision;
    Booted boot(board);
    bool registered = revision >= 0x00020000u;
    EXPECT_EQ(count(boot.console(), "KeshOnReadyToBoot() Entry\r\n"), registered ? 1u : 0u)
        << std::hex << revision << boot.console();
    EXPECT_EQ(count(boot.console(), "EFI1.1 can't support ReadyToBootEvent!"), registered ? 0u : 1u);
    EXPECT_EQ(boot.simulation.assertions().size(), registered ? 0u : 2u) << std::hex << revision;
  }
}

TEST(DriverBoot, ConstructorsRunInOrderAndAFailureDoesNotStopTheSequence) {
  sim::Board board = sim::referenceBoard();
  board.runtimeServices = false; // third constructor: gRT
  board.dxeServices = false;     // seventh constructor: gDS
  board.timeline = {sim::Step::Load, sim::Step::EndOfDxe};
  Booted boot(board);
  auto assertions = boot.simulation.assertions();
  ASSERT_EQ(assertions.size(), 4u) << boot.console();
  EXPECT_EQ(assertions[0].expression, "gRT != ((void *) 0)");
  EXPECT_EQ(assertions[1].expression, "!EFI_ERROR (Status)");
  EXPECT_EQ(assertions[1].file, "Edk2/Library/DxeServicesTableLib/DxeServicesTableLib.cpp");
  EXPECT_EQ(assertions[2].expression, "gDS != ((void *) 0)");
  // The constructor list reports the failing status and goes on.
  EXPECT_EQ(assertions[3].expression, "!EFI_ERROR (Status)");
  EXPECT_EQ(assertions[3].file, "Features/KeshInit/Dxe/AutoGen.cpp");
  const std::string &console = boot.console();
  // The library's lookup status, then the constructor list's report of it.
  EXPECT_EQ(count(console, "ASSERT_EFI_ERROR (Status = Not Found)"), 2u) << console;
  size_t lastAssert = console.rfind("ASSERT ");
  EXPECT_LT(lastAssert, console.find("KeshInitEntryPoint Entry")) << "the entry runs after every constructor";
  EXPECT_EQ(boot.simulation.outcome().entryStatus, EFI_SUCCESS);
}

TEST(DriverBoot, AFailedRegistrationIsReportedAndTheNextOneIsStillMade) {
  sim::Board board = sim::referenceBoard();
  // The driver's own first CreateEventEx (the S3 save library's comes earlier).
  board.failures.push_back(
      sim::FailureRule{"CreateEventEx", 1, EFI_OUT_OF_RESOURCES, gEfiEndOfDxeEventGroupGuid});
  Booted boot(board);
  const std::string &console = boot.console();
  EXPECT_NE(console.find("ASSERT_EFI_ERROR (Status = Out of Resources)"), std::string::npos) << console;
  EXPECT_EQ(console.find("KeshOnEndOfDxe"), std::string::npos);
  EXPECT_EQ(count(console, "KeshOnReadyToBoot() Entry\r\n"), 1u);
  EXPECT_EQ(boot.simulation.outcome().entryStatus, EFI_SUCCESS);
}

TEST(DriverBoot, ErrorLevelZeroSilencesMessagesButNotAssertions) {
  sim::Board board = sim::referenceBoard();
  board.setCmosErrorLevel(0);
  board.dxeServices = false;
  board.timeline = {sim::Step::Load, sim::Step::EndOfDxe, sim::Step::ReadyToBoot};
  Booted boot(board);
  const std::string &console = boot.console();
  EXPECT_EQ(console.find("KeshInitEntryPoint"), std::string::npos) << console;
  EXPECT_EQ(console.find("KeshOn"), std::string::npos) << console;
  EXPECT_EQ(console.find("ASSERT_EFI_ERROR"), std::string::npos) << console;
  EXPECT_EQ(boot.simulation.assertions().size(), 3u) << console;
  EXPECT_EQ(boot.simulation.machine().breakpointCount(), 3u);
}

TEST(DriverBoot, BootsAreDeterministic) {
  auto once = []() {
    Booted boot(sim::referenceBoard());
    return std::make_pair(
        sim::traceText(sim::namedTrace(boot.simulation.machine(), boot.simulation.record(), {})),
        sim::jsonReport(boot.simulation).dump());
  };
  auto first = once();
  auto second = once();
  EXPECT_GT(first.first.size(), 1000u);
  EXPECT_EQ(first.first, second.first);
  EXPECT_EQ(first.second, second.second);
}

TEST(DriverBoot, ABoardThatCannotExistIsRefusedBeforeAnythingRuns) {
  sim::Board board = sim::referenceBoard();
  board.dxeServices = false;
  EXPECT_THROW(sim::Simulation(board, kImage), sim::BoardError);
}

} // namespace
