// SPDX-License-Identifier: BSD-2-Clause-Patent
// The report forms, the level filters, the fatal stop and the ACPI-timer
// delay, linked statically with the firmware libraries and a machine.
#include "Machine/Devices.h"
#include "Machine/Machine.h"
#include "FirmwareHarness.h"

#include <Library/DebugLib.h>
#include <Library/FatalStopLib.h>
#include <Library/TimerLib.h>
#include <Uefi.h>

#include <gtest/gtest.h>

#include <string>

namespace {

class DebugLibTest : public ::testing::Test {
protected:
  void SetUp() override {
    machine.mapIo(sim::PostCodePorts::kCodePort, sim::PostCodePorts::kCodePort + 3, &postCodes);
    machine.mapIo(sim::PostCodePorts::kMarkerPort, sim::PostCodePorts::kMarkerPort + 1, &postCodes);
    machine.mapIo(sim::PostCodePorts::kDeadLoopPort, sim::PostCodePorts::kDeadLoopPort + 3, &postCodes);
    machine.mapIo(sim::AcpiPmTimer::kPort, sim::AcpiPmTimer::kPort + 3, &timer);
  }

  sim::Machine machine;
  sim::PostCodePorts postCodes{machine};
  sim::AcpiPmTimer timer{machine};
  harness::MachineBinding binding{machine};
  std::string &gConsole = harness::console();
};

TEST_F(DebugLibTest, MessagesPassOnlyWhenTheirLevelSharesABitWithTheErrorLevel) {
  harness::setErrorLevel(0x40);
  DEBUG((0x80000040, "both %d\n", 1));
  harness::setErrorLevel(0x80000000);
  DEBUG((0x80000040, "both %d\n", 2));
  DEBUG((DEBUG_INFO, "info only\n"));
  DEBUG((0, "level zero\n"));
  EXPECT_EQ(gConsole, "both 1\r\nboth 2\r\n");
}

TEST_F(DebugLibTest, LevelsAboveBit31NeverPassTheFixedPrintLevel) {
  harness::setErrorLevel(0xFFFFFFFF);
  EXPECT_FALSE(DebugPrintLevelEnabled(0x4000000000000ULL));
  EXPECT_TRUE(DebugPrintLevelEnabled(0x80000000ULL));
  EXPECT_TRUE(DebugPrintLevelEnabled(0x4000000000040ULL));
  DEBUG((0x4000000000000ULL, "never\n"));
  EXPECT_EQ(gConsole, "");
}

TEST_F(DebugLibTest, ArgumentsAreEvaluatedOnlyWhenTheMessagePrints) {
  int reads = 0;
  auto read = [&reads]() { return ++reads; };
  DEBUG((0x4000000000000ULL, "%d\n", read()));
  EXPECT_EQ(reads, 0);
  harness::setErrorLevel(0);
  // The call-site test passes, so the argument is read; the run-time level then drops the line.
  DEBUG((DEBUG_INFO, "%d\n", read()));
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(gConsole, "");
}

TEST_F(DebugLibTest, AssertionReportIgnoresTheLevelAndTrapsThenReturns) {
  harness::setErrorLevel(0);
  bool returned = false;
  ASSERT(1 == 2);
  returned = true;
  EXPECT_TRUE(returned);
  EXPECT_EQ(machine.breakpointCount(), 1u);
  EXPECT_NE(gConsole.find("ASSERT Tests/Driver/DebugLibTest.cpp("), std::string::npos) << gConsole;
  EXPECT_NE(gConsole.find("): 1 == 2\r\n"), std::string::npos) << gConsole;
}

TEST_F(DebugLibTest, ANullFormatIsReportedAndPrintsNothingElse) {
  harness::setErrorLevel(DEBUG_ERROR);
  DebugPrint(DEBUG_ERROR, nullptr);
  EXPECT_EQ(machine.breakpointCount(), 1u);
  ASSERT_EQ(gConsole.rfind("ASSERT ", 0), 0u) << gConsole;
  std::string report = "): Format != ((void *) 0)\r\n";
  ASSERT_GE(gConsole.size(), report.size());
  EXPECT_EQ(gConsole.substr(gConsole.size() - report.size()), report) << "nothing after the report";
}

TEST_F(DebugLibTest, StatusAssertionPrintsTheStatusNameThenTheExpression) {
  EFI_STATUS Status = EFI_NOT_FOUND;
  ASSERT_EFI_ERROR(Status);
  Status = EFI_SUCCESS;
  ASSERT_EFI_ERROR(Status);
  EXPECT_EQ(machine.breakpointCount(), 1u);
  ASSERT_EQ(gConsole.rfind("\r\nASSERT_EFI_ERROR (Status = Not Found)\r\nASSERT ", 0), 0u) << gConsole;
  EXPECT_NE(gConsole.find("): !EFI_ERROR (Status)\r\n"), std::string::npos) << gConsole;
}

TEST_F(DebugLibTest, LongMessagesAreCutAt255Characters) {
  std::string text(300, 'x');
  DEBUG((DEBUG_INFO, "%a", text.c_str()));
  EXPECT_EQ(gConsole, std::string(255, 'x'));
}

TEST_F(DebugLibTest, FatalStopScrollsSixWindowsEvery2500MillisecondsUntilHalted) {
  uint64_t start = machine.nowNs();
  try {
    FatalStop(0xA10D0142);
    FAIL() << "the display loop returned without a debug environment";
  } catch (const sim::MachineHalt &halt) {
    EXPECT_EQ(halt.reason, sim::HaltReason::FatalStop);
  }
  ASSERT_EQ(postCodes.fatalStops().size(), 1u);
  const auto &stop = postCodes.fatalStops()[0];
  EXPECT_EQ(stop.code, 0xA10D0142u);
  std::vector<uint32_t> expected = {0x420000DE, 0x0000DEAD, 0x00DEADA1, 0xDEADA10D,
                                    0xADA10D01, 0xA10D0142, 0x420000DE};
  EXPECT_EQ(stop.windows, expected);

  // 0xDEAD on 0xE0 (16-bit), the code on 0x80, then the windows 2.5 s apart.
  const auto &history = postCodes.history();
  ASSERT_EQ(history.size(), 9u);
  EXPECT_EQ(history[0].port, 0xE0);
  EXPECT_EQ(history[0].width, 2u);
  EXPECT_EQ(history[0].value, 0xDEADu);
  EXPECT_EQ(history[1].port, 0x80);
  EXPECT_EQ(history[1].width, 4u);
  for (size_t i = 3; i < history.size(); i++) {
    uint64_t gap = history[i].timeNs - history[i - 1].timeNs;
    EXPECT_GE(gap, 2500000000u);
    EXPECT_LT(gap, 2500100000u);
  }
  EXPECT_GT(machine.nowNs() - start, 6 * 2500000000ull);
}

TEST_F(DebugLibTest, DebugEnvironmentAnswerReleasesTheDisplayAtOnce) {
  machine.setDebugEnvironmentAnswer(1);
  uint64_t start = machine.nowNs();
  EXPECT_FALSE(PostCodeDisplayLoop(0x00090552));
  EXPECT_TRUE(FatalStop(0x00090581));
  ASSERT_EQ(postCodes.history().size(), 4u);
  EXPECT_EQ(postCodes.history()[1].value, 0x00090552u);
  EXPECT_EQ(postCodes.history()[3].value, 0x00090581u);
  for (const auto &stop : postCodes.fatalStops()) {
    EXPECT_TRUE(stop.windows.empty());
    EXPECT_FALSE(stop.halted);
  }
  // No delay ran: only the few port accesses took time.
  EXPECT_LT(machine.nowNs() - start, 100000u);
}

TEST_F(DebugLibTest, MicroSecondDelayWaitsOnThePmTimerAcrossItsWrap) {
  sim::AcpiPmTimer nearWrap(machine, 0xFFFF00);
  machine.mapIo(sim::AcpiPmTimer::kPort, sim::AcpiPmTimer::kPort + 3, &nearWrap);
  uint64_t start = machine.nowNs();
  EXPECT_EQ(MicroSecondDelay(1000), 1000u);
  uint64_t elapsed = machine.nowNs() - start;
  EXPECT_GE(elapsed, 999000u);
  EXPECT_LT(elapsed, 1010000u);
  EXPECT_LT(nearWrap.count(), 0x010000u) << "the counter wrapped during the wait";
}

TEST_F(DebugLibTest, ZeroDelayEndsAfterOneTick) {
  uint64_t start = machine.nowNs();
  uint32_t before = timer.count();
  MicroSecondDelay(0);
  EXPECT_NE(timer.count(), before);
  // One tick is 279 ns; the polls cost a microsecond each.
  EXPECT_LT(machine.nowNs() - start, 5000u);
}

TEST_F(DebugLibTest, LongDelaysAreSplitIntoWaitsBelowHalfTheCounter) {
  uint64_t start = machine.nowNs();
  MicroSecondDelay(2500000);
  uint64_t elapsed = machine.nowNs() - start;
  EXPECT_GE(elapsed, 2500000000u);
  EXPECT_LT(elapsed, 2500010000u);
}

TEST_F(DebugLibTest, DeadLoopShowsItsMarkerAndIsHalted) {
  EXPECT_THROW(CpuDeadLoop(), sim::MachineHalt);
  ASSERT_EQ(postCodes.history().size(), 1u);
  EXPECT_EQ(postCodes.history()[0].port, 0xE8);
  EXPECT_EQ(postCodes.history()[0].value, 0x4C6F6F70u);
}

// Where nothing answers the marker, the loop waits, pausing, until the
// machine is stopped from outside; it never leaves on its own.
TEST(DeadLoop, WaitsPausingUntilStoppedAndNeverShowsItsLeaveMarker) {
  sim::Machine machine;
  harness::MachineBinding binding{machine};
  machine.setTimeBudgetNs(100000);
  try {
    CpuDeadLoop();
    ADD_FAILURE() << "the dead loop returned";
  } catch (const sim::MachineHalt &halt) {
    EXPECT_EQ(halt.reason, sim::HaltReason::TimeBudget);
  }
  EXPECT_GT(machine.pauseCount(), 10u);
  for (const auto &e : machine.trace()) {
    if (e.kind == sim::AccessKind::IoWrite && e.address == sim::PostCodePorts::kDeadLoopPort) {
      EXPECT_EQ(e.value, 0x4C6F6F70u) << "only the enter marker";
    }
  }
}

} // namespace
