// SPDX-License-Identifier: BSD-2-Clause-Patent
// Every firmware service the driver and its libraries call, failing on
// every call: the boot must still end normally, with the driver loaded.
#include "BootHarness.h"

#include <gtest/gtest.h>

namespace {

class FailureSweep : public ::testing::TestWithParam<const char *> {};

TEST_P(FailureSweep, TheBootSurvivesAServiceThatAlwaysFails) {
  sim::Board board = sim::referenceBoard();
  board.timeline.push_back(sim::Step::LoadS3Client);
  board.failures.push_back(sim::FailureRule{GetParam(), 0, EFI_DEVICE_ERROR, std::nullopt});
  boot::Boot boot(board);
  const sim::BootOutcome &outcome = boot.simulation.outcome();
  EXPECT_TRUE(outcome.completed) << (outcome.halt ? outcome.halt->detail : "") << boot.console();
  ASSERT_TRUE(outcome.entryStatus.has_value());
  EXPECT_EQ(*outcome.entryStatus, EFI_SUCCESS) << "a failing service never unloads the driver";
}

INSTANTIATE_TEST_SUITE_P(
    Services, FailureSweep,
    ::testing::Values("AllocatePool", "FreePool", "CreateEvent", "CreateEventEx", "SignalEvent", "CloseEvent",
                      "RegisterProtocolNotify", "LocateProtocol", "HandleProtocol",
                      "InstallMultipleProtocolInterfaces", "UninstallMultipleProtocolInterfaces",
                      "GetVariable", "AllocateMemorySpace", "GetMemorySpaceDescriptor",
                      "SetMemorySpaceAttributes", "PCD.Set8", "PCD.Set64", "PCD.Get64",
                      "OrvexNvramAttribute.GetAttribute", "VroPlatformId.GetIdPtr",
                      "VroPlatformId.QueryPlatformState", "VroSata.GetSataConfig", "VroSata.GetPortList",
                      "UsbPortControl.SetPortMask", "Mc5744.SetPortEnables", "Mc5744.ApplyConfig",
                      "DebugPrintSvc.DebugPrint", "SmmCommunication.Communicate"),
    [](const ::testing::TestParamInfo<const char *> &info) {
      std::string name = info.param;
      name.erase(std::remove(name.begin(), name.end(), '.'), name.end());
      return name;
    });

} // namespace
