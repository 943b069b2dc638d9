// SPDX-License-Identifier: BSD-2-Clause-Patent
// The UefiLib helpers the driver and its libraries use, over a DXE core:
// the configuration-table lookup, the Ready-to-Boot event and the protocol
// notify that runs once at registration.
#include "Dxe/DxeCore.h"
#include "FirmwareHarness.h"
#include "Machine/Machine.h"

#include <Guid/EventGroup.h>
#include <Guid/HobList.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>

#include <gtest/gtest.h>

#include <string>

namespace {

unsigned gNotifies = 0;
VOID EFIAPI CountNotify(IN EFI_EVENT Event, IN VOID *Context) {
  (VOID) Event;
  (VOID) Context;
  gNotifies++;
}

EFI_GUID kProtocol = {0x5B0A6E8C, 0x1D2F, 0x4A3B, {0x9C, 0x4D, 0x5E, 0x6F, 0x70, 0x81, 0x92, 0xA3}};

class UefiLibTest : public ::testing::Test {
protected:
  void SetUp() override {
    UefiBootServicesTableLibConstructor(core.createHandle(), core.systemTable());
    gNotifies = 0;
  }
  std::string reports() { return harness::console(); }
  // The expression of the first assertion report.
  std::string firstReport() {
    const std::string &text = harness::console();
    size_t at = text.find("ASSERT ");
    size_t colon = text.find("): ", at);
    return at == std::string::npos || colon == std::string::npos
               ? ""
               : text.substr(colon + 3, text.find("\r\n", colon) - colon - 3);
  }

  sim::Machine machine;
  harness::MachineBinding binding{machine};
  sim::DxeCore core{machine};
};

TEST_F(UefiLibTest, TheConfigurationTableLookupAnswersTheFirstEntryWithTheGuid) {
  int first = 1, second = 2;
  core.appendConfigurationTable(gEfiHobListGuid, &first);
  core.appendConfigurationTable(gEfiHobListGuid, &second);
  VOID *table = &second;
  EXPECT_EQ(EfiGetSystemConfigurationTable(&gEfiHobListGuid, &table), EFI_SUCCESS);
  EXPECT_EQ(table, &first);
  EXPECT_EQ(EfiGetSystemConfigurationTable(&kProtocol, &table), EFI_NOT_FOUND);
  EXPECT_EQ(table, nullptr) << "nothing found, nothing left behind";
  EXPECT_EQ(reports(), "");
}

TEST_F(UefiLibTest, ANullGuidIsReportedAsTheCallersFault) {
  core.setDxeServicesPresent(false);
  ASSERT_EQ(core.systemTable()->NumberOfTableEntries, 0u);
  VOID *table = &core;
  EXPECT_EQ(EfiGetSystemConfigurationTable(nullptr, &table), EFI_NOT_FOUND);
  EXPECT_EQ(firstReport(), "TableGuid != ((void *) 0)") << reports();
  EXPECT_EQ(machine.breakpointCount(), 1u);
}

TEST_F(UefiLibTest, TheReadyToBootEventJoinsTheGroupAtTheGivenTpl) {
  EFI_EVENT event = nullptr;
  EXPECT_EQ(EfiCreateEventReadyToBootEx(TPL_NOTIFY, CountNotify, nullptr, &event), EFI_SUCCESS);
  EFI_EVENT empty = nullptr;
  EXPECT_EQ(EfiCreateEventReadyToBootEx(TPL_CALLBACK, nullptr, nullptr, &empty), EFI_SUCCESS)
      << "without a notify function the event still joins";
  ASSERT_EQ(core.events().size(), 2u);
  for (const sim::EventInfo &info : core.events()) {
    ASSERT_TRUE(info.group.has_value());
    EXPECT_TRUE(sim::sameGuid(*info.group, gEfiEventReadyToBootGuid));
    EXPECT_NE(info.notify, nullptr);
  }
  EXPECT_EQ(core.events()[0].notifyTpl, static_cast<EFI_TPL>(TPL_NOTIFY));
  EXPECT_EQ(core.events()[1].notifyTpl, static_cast<EFI_TPL>(TPL_CALLBACK));
  core.signalEventGroup(gEfiEventReadyToBootGuid);
  EXPECT_EQ(gNotifies, 1u);
  EXPECT_EQ(core.events()[1].notifies, 1u);
  EXPECT_EQ(reports(), "");
}

TEST_F(UefiLibTest, AProtocolNotifyRunsOnceAtRegistrationAndOnEachInstallation) {
  VOID *registration = nullptr;
  EFI_EVENT event =
      EfiCreateProtocolNotifyEvent(&kProtocol, TPL_CALLBACK, CountNotify, nullptr, &registration);
  ASSERT_NE(event, nullptr);
  EXPECT_NE(registration, nullptr);
  EXPECT_EQ(gNotifies, 1u) << "signalled once at registration";
  int interface = 0;
  EFI_HANDLE handle = nullptr;
  core.installProtocol(&handle, kProtocol, &interface);
  EXPECT_EQ(gNotifies, 2u);
  EXPECT_EQ(reports(), "");

  // A missing registration key is the caller's fault, reported before the
  // registration that then fails.
  harness::console().clear();
  EfiCreateProtocolNotifyEvent(&kProtocol, TPL_CALLBACK, CountNotify, nullptr, nullptr);
  EXPECT_EQ(firstReport(), "Registration != ((void *) 0)") << reports();
  harness::console().clear();
  EfiCreateProtocolNotifyEvent(&kProtocol, TPL_CALLBACK, nullptr, nullptr, &registration);
  EXPECT_EQ(firstReport(), "NotifyFunction != ((void *) 0)") << reports();
}

} // namespace
