// SPDX-License-Identifier: BSD-2-Clause-Patent
// The hub's port enables for each set of port locations, called directly:
// the policy passes only some of the location bits, the hub takes them all.
#include "Dxe/DxeCore.h"
#include "FirmwareHarness.h"
#include "Platform/PlatformModels.h"

#include <KeshInit.h>
#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <PlatformProtocols.h>

#include <gtest/gtest.h>

#include <array>

namespace {

using Enables = std::array<uint32_t, 4>;

class UsbDisable : public ::testing::Test {
protected:
  void SetUp() override {
    UefiBootServicesTableLibConstructor(core.createHandle(), core.systemTable());
    harness::setErrorLevel(DEBUG_ERROR);
    harness::console().clear();
  }
  void installHub() {
    EFI_HANDLE handle = nullptr;
    core.installProtocol(&handle, gMc5744ProtocolGuid, hub.protocol());
  }

  sim::Machine machine;
  harness::MachineBinding binding{machine};
  sim::DxeCore core{machine};
  sim::Mc5744Model hub{machine};
};

TEST_F(UsbDisable, EachPortGroupBitClearsItsPairOfEnablesAndTheInternalBitsNone) {
  installHub();
  const struct {
    UINT8 locations;
    Enables enables;
  } kCases[] = {
      {0x00, {1, 1, 1, 1}}, {0x01, {1, 1, 0, 0}}, {0x02, {0, 0, 1, 1}},
      {0x03, {0, 0, 0, 0}}, {0x14, {1, 1, 1, 1}}, {0x16, {0, 0, 1, 1}},
  };
  size_t calls = 0;
  for (const auto &c : kCases) {
    EXPECT_EQ(OrvexPlatformUsbDisable(c.locations), EFI_SUCCESS);
    EXPECT_EQ(hub.applied(), c.enables) << "locations 0x" << std::hex << +c.locations;
    ASSERT_EQ(hub.calls().size(), calls + 2) << "set, then applied";
    EXPECT_EQ(hub.calls().back().kind, sim::HubCall::Kind::ApplyConfig);
    EXPECT_EQ(hub.calls().back().argument, 1u);
    calls = hub.calls().size();
  }
}

TEST_F(UsbDisable, WithoutTheHubNothingIsSetAndTheLookupFailureIsReturned) {
  EXPECT_EQ(OrvexPlatformUsbDisable(0x03), EFI_NOT_FOUND);
  EXPECT_TRUE(hub.calls().empty());
  EXPECT_EQ(harness::console(), "OrvexPlatformUsbDisable Locations = 0x3\r\n"
                                "OrvexPlatformUsbDisable Locate MC5744 Protocol = Not Found\r\n");
}

} // namespace
