// SPDX-License-Identifier: BSD-2-Clause-Patent
// The hub's port enables for each set of port locations, called directly:
// the policy passes only some of the location bits, the hub takes them all.
#include "FirmwareHarness.h"

#include <KeshInit.h>
#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <PlatformProtocols.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

using Enables = std::array<UINT32, 4>;

struct FakeHub {
  Mc5744Protocol iface;
  std::vector<Enables> enables; // each SetPortEnables call
  std::vector<UINTN> applies;   // each ApplyConfig call
};
FakeHub gHub{};

EFI_STATUS EFIAPI setPortEnables(Mc5744Protocol *This, Mc5744PortEnables *e) {
  EXPECT_EQ(This, &gHub.iface);
  gHub.enables.push_back({e->Enable0, e->Enable1, e->Enable2, e->Enable3});
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI applyConfig(Mc5744Protocol *This, UINTN apply) {
  EXPECT_EQ(This, &gHub.iface);
  gHub.applies.push_back(apply);
  return EFI_SUCCESS;
}

bool gHubInstalled = true;
EFI_STATUS EFIAPI locateProtocol(EFI_GUID *protocol, VOID *registration, VOID **iface) {
  EXPECT_EQ(registration, nullptr);
  if (!gHubInstalled || std::memcmp(protocol, &gMc5744ProtocolGuid, sizeof(EFI_GUID)) != 0) {
    return EFI_NOT_FOUND;
  }
  *iface = &gHub.iface;
  return EFI_SUCCESS;
}

class UsbDisable : public ::testing::Test {
protected:
  void SetUp() override {
    services.LocateProtocol = locateProtocol;
    gBS = &services;
    gHub = FakeHub{};
    gHub.iface.SetPortEnables = setPortEnables;
    gHub.iface.ApplyConfig = applyConfig;
    gHubInstalled = true;
    harness::setErrorLevel(DEBUG_ERROR);
    harness::console().clear();
  }
  void TearDown() override { gBS = nullptr; }

  EFI_BOOT_SERVICES services{};
};

TEST_F(UsbDisable, EachPortGroupBitClearsItsPairOfEnablesAndTheInternalBitsNone) {
  const struct {
    UINT8 locations;
    Enables enables;
  } kCases[] = {
      {0x00, {1, 1, 1, 1}}, {0x01, {1, 1, 0, 0}}, {0x02, {0, 0, 1, 1}},
      {0x03, {0, 0, 0, 0}}, {0x14, {1, 1, 1, 1}}, {0x16, {0, 0, 1, 1}},
  };
  for (const auto &c : kCases) {
    gHub.enables.clear();
    gHub.applies.clear();
    EXPECT_EQ(OrvexPlatformUsbDisable(c.locations), EFI_SUCCESS);
    EXPECT_EQ(gHub.enables, std::vector<Enables>{c.enables}) << "locations 0x" << std::hex << +c.locations;
    EXPECT_EQ(gHub.applies, std::vector<UINTN>{1});
  }
}

TEST_F(UsbDisable, WithoutTheHubNothingIsSetAndTheLookupFailureIsReturned) {
  gHubInstalled = false;
  EXPECT_EQ(OrvexPlatformUsbDisable(0x03), EFI_NOT_FOUND);
  EXPECT_TRUE(gHub.enables.empty());
  EXPECT_TRUE(gHub.applies.empty());
  EXPECT_EQ(harness::console(), "OrvexPlatformUsbDisable Locations = 0x3\r\n"
                                "OrvexPlatformUsbDisable Locate MC5744 Protocol = Not Found\r\n");
}

} // namespace
