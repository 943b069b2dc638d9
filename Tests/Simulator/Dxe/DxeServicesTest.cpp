// SPDX-License-Identifier: BSD-2-Clause-Patent
// The simulated DXE core's tables, configuration table and HOB list, the
// PCD protocol, variables, failure injection and the status/GUID text.
#include "DxeTestSupport.h"

#include <thread>

#include <Guid/DxeServices.h>
#include <Guid/EventGroup.h>
#include <Guid/HobList.h>
#include <Protocol/PciEnumerationComplete.h>

#include <cstring>
#include <stdexcept>

using namespace dxetest;

namespace {

template <typename TABLE> bool headerCrcHolds(const TABLE &table) {
  TABLE copy;
  std::memcpy(&copy, &table, sizeof(TABLE));
  copy.Hdr.CRC32 = 0;
  return sim::crc32(&copy, table.Hdr.HeaderSize) == table.Hdr.CRC32;
}

void *configEntry(EFI_SYSTEM_TABLE *st, const EFI_GUID &guid) {
  for (UINTN i = 0; i < st->NumberOfTableEntries; i++) {
    if (sim::sameGuid(st->ConfigurationTable[i].VendorGuid, guid)) {
      return st->ConfigurationTable[i].VendorTable;
    }
  }
  return nullptr;
}

class TablesTest : public DxeTest {};

TEST_F(TablesTest, HeadersVendorAndInitialConfiguration) {
  EXPECT_EQ(st->Hdr.Signature, EFI_SYSTEM_TABLE_SIGNATURE);
  EXPECT_EQ(st->Hdr.Revision, static_cast<UINT32>(EFI_2_70_SYSTEM_TABLE_REVISION));
  EXPECT_EQ(st->Hdr.HeaderSize, sizeof(EFI_SYSTEM_TABLE));
  EXPECT_EQ(bs->Hdr.Signature, EFI_BOOT_SERVICES_SIGNATURE);
  EXPECT_EQ(bs->Hdr.HeaderSize, sizeof(EFI_BOOT_SERVICES));
  ASSERT_NE(st->RuntimeServices, nullptr);
  EXPECT_EQ(st->RuntimeServices->Hdr.Signature, EFI_RUNTIME_SERVICES_SIGNATURE);
  EXPECT_TRUE(headerCrcHolds(*st));
  EXPECT_TRUE(headerCrcHolds(*bs));
  EXPECT_TRUE(headerCrcHolds(*st->RuntimeServices));
  EXPECT_EQ(std::u16string(st->FirmwareVendor), u"Kesh Simulator");
  EXPECT_EQ(st->FirmwareRevision, 0x00010000u);
  ASSERT_EQ(st->NumberOfTableEntries, 1u);
  EXPECT_TRUE(sim::sameGuid(st->ConfigurationTable[0].VendorGuid, gEfiDxeServicesTableGuid));
  EXPECT_EQ(st->ConfigurationTable[0].VendorTable, core.dxeServices());
  EXPECT_TRUE(headerCrcHolds(*core.dxeServices()));
}

TEST_F(TablesTest, EveryServiceSlotIsFilled) {
  auto slots = [](const void *table, size_t size) {
    std::vector<const void *> pointers((size - sizeof(EFI_TABLE_HEADER)) / sizeof(void *));
    std::memcpy(pointers.data(), static_cast<const uint8_t *>(table) + sizeof(EFI_TABLE_HEADER),
                pointers.size() * sizeof(void *));
    return pointers;
  };
  auto boot = slots(bs, sizeof(*bs));
  size_t reserved = (OFFSET_OF(EFI_BOOT_SERVICES, Reserved) - sizeof(EFI_TABLE_HEADER)) / sizeof(void *);
  for (size_t i = 0; i < boot.size(); i++) {
    if (i != reserved) {
      EXPECT_NE(boot[i], nullptr) << "boot services slot " << i;
    }
  }
  for (const void *slot : slots(st->RuntimeServices, sizeof(EFI_RUNTIME_SERVICES))) {
    EXPECT_NE(slot, nullptr);
  }
  for (const void *slot : slots(core.dxeServices(), sizeof(DXE_SERVICES))) {
    EXPECT_NE(slot, nullptr);
  }
  const auto *pcd = reinterpret_cast<void *const *>(core.pcdProtocol());
  for (size_t i = 0; i < sizeof(PCD_PROTOCOL) / sizeof(void *); i++) {
    EXPECT_NE(pcd[i], nullptr) << "PCD slot " << i;
  }
}

TEST_F(TablesTest, UnusedSlotsSayWhichSlotWasCalled) {
  EXPECT_EQ(bs->LoadImage(), EFI_UNSUPPORTED);
  EXPECT_EQ(st->RuntimeServices->QueryVariableInfo(), EFI_UNSUPPORTED);
  EXPECT_EQ(core.dxeServices()->SetMemorySpaceCapabilities(), EFI_UNSUPPORTED);
  EXPECT_EQ(core.diagnostics(),
            (std::vector<std::string>{
                "DxeCore: unsupported service BootServices.LoadImage called",
                "DxeCore: unsupported service RuntimeServices.QueryVariableInfo called",
                "DxeCore: unsupported service DxeServices.SetMemorySpaceCapabilities called",
            }));
  EXPECT_EQ(core.failures().calls("LoadImage"), 1u);
}

TEST_F(TablesTest, BoardSettingsReshapeTheSystemTable) {
  core.setSystemTableRevision(EFI_2_00_SYSTEM_TABLE_REVISION);
  EXPECT_EQ(st->Hdr.Revision, static_cast<UINT32>(EFI_2_00_SYSTEM_TABLE_REVISION));
  EXPECT_EQ(bs->Hdr.Revision, static_cast<UINT32>(EFI_2_70_SYSTEM_TABLE_REVISION));
  EXPECT_TRUE(headerCrcHolds(*st));
  core.setRuntimeServicesPresent(false);
  EXPECT_EQ(st->RuntimeServices, nullptr);
  core.setDxeServicesPresent(false);
  EXPECT_EQ(configEntry(st, gEfiDxeServicesTableGuid), nullptr);
  EXPECT_EQ(st->NumberOfTableEntries, 0u);
  core.setDxeServicesPresent(true);
  EXPECT_EQ(configEntry(st, gEfiDxeServicesTableGuid), core.dxeServices());
}

TEST_F(TablesTest, ConfigurationTableReplaceRemoveAndDuplicate) {
  int first = 1, second = 2;
  EXPECT_EQ(bs->InstallConfigurationTable(&kGuidA, &first), EFI_SUCCESS);
  EXPECT_EQ(configEntry(st, kGuidA), &first);
  EXPECT_EQ(bs->InstallConfigurationTable(&kGuidA, &second), EFI_SUCCESS);
  EXPECT_EQ(st->NumberOfTableEntries, 2u) << "replaced, not added";
  EXPECT_EQ(configEntry(st, kGuidA), &second);
  EXPECT_EQ(bs->InstallConfigurationTable(&kGuidA, nullptr), EFI_SUCCESS);
  EXPECT_EQ(configEntry(st, kGuidA), nullptr);
  EXPECT_EQ(bs->InstallConfigurationTable(&kGuidA, nullptr), EFI_NOT_FOUND);
  EXPECT_EQ(bs->InstallConfigurationTable(nullptr, &first), EFI_INVALID_PARAMETER);

  core.installConfigurationTable(kGuidB, &first);
  core.appendConfigurationTable(kGuidB, &second);
  ASSERT_EQ(st->NumberOfTableEntries, 3u);
  EXPECT_EQ(st->ConfigurationTable[1].VendorTable, &first);
  EXPECT_EQ(st->ConfigurationTable[2].VendorTable, &second);
  EXPECT_TRUE(sim::sameGuid(st->ConfigurationTable[2].VendorGuid, kGuidB));
  EXPECT_TRUE(headerCrcHolds(*st));
}

TEST_F(TablesTest, OnlyOneCoreAtATime) {
  EXPECT_THROW(sim::DxeCore second(machine), std::logic_error);
}

class HobTest : public DxeTest {};

TEST_F(HobTest, HandoffFirstGuidHobsInOrderEndLast) {
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5};
  core.addGuidHob(kGuidA, data);
  core.addGuidHob(kGuidB, {9});
  const auto &list = core.hobList();
  ASSERT_EQ(configEntry(st, gEfiHobListGuid), list.data());

  EFI_HOB_HANDOFF_INFO_TABLE handoff;
  std::memcpy(&handoff, list.data(), sizeof(handoff));
  EXPECT_EQ(handoff.Header.HobType, EFI_HOB_TYPE_HANDOFF);
  EXPECT_EQ(handoff.Header.HobLength, sizeof(EFI_HOB_HANDOFF_INFO_TABLE));

  const uint8_t *guidHob = list.data() + sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
  EFI_HOB_GENERIC_HEADER header;
  std::memcpy(&header, guidHob, sizeof(header));
  EXPECT_EQ(header.HobType, EFI_HOB_TYPE_GUID_EXTENSION);
  EXPECT_EQ(header.HobLength, 32u) << "24 + 5 rounded up to 8";
  EFI_GUID name;
  std::memcpy(&name, guidHob + 8, sizeof(name));
  EXPECT_TRUE(sim::sameGuid(name, kGuidA));
  EXPECT_EQ(std::vector<uint8_t>(guidHob + 24, guidHob + 29), data);

  const uint8_t *second = guidHob + header.HobLength;
  std::memcpy(&name, second + 8, sizeof(name));
  EXPECT_TRUE(sim::sameGuid(name, kGuidB));
  EXPECT_EQ(second[24], 9);

  const uint8_t *end = list.data() + list.size() - sizeof(EFI_HOB_GENERIC_HEADER);
  EXPECT_EQ(end, second + 32);
  std::memcpy(&header, end, sizeof(header));
  EXPECT_EQ(header.HobType, EFI_HOB_TYPE_END_OF_HOB_LIST);
  EXPECT_EQ(handoff.EfiEndOfHobList, reinterpret_cast<uintptr_t>(end));
  EXPECT_EQ(list.size() % 8, 0u);
}

TEST_F(HobTest, RawHobsGoInVerbatimBeforeTheEnd) {
  const std::vector<uint8_t> raw = {0x04, 0x00, 0x30, 0x00, 0xEE, 0xEE};
  core.addRawHob(raw);
  const auto &list = core.hobList();
  ASSERT_EQ(list.size(), sizeof(EFI_HOB_HANDOFF_INFO_TABLE) + raw.size() + sizeof(EFI_HOB_GENERIC_HEADER));
  EXPECT_EQ(std::vector<uint8_t>(list.begin() + sizeof(EFI_HOB_HANDOFF_INFO_TABLE),
                                 list.begin() + sizeof(EFI_HOB_HANDOFF_INFO_TABLE) + raw.size()),
            raw);
  EXPECT_EQ(configEntry(st, gEfiHobListGuid), list.data());
}

class PcdTest : public DxeTest {
protected:
  PCD_PROTOCOL *pcd = nullptr;
  void SetUp() override {
    core.pcdTokens()[1] = {1, 0x5A};
    core.pcdTokens()[2] = {2, 0xBEEF};
    core.pcdTokens()[3] = {4, 0x12345678};
    core.pcdTokens()[4] = {8, 0x0123456789ABCDEFull};
    VOID *iface = nullptr;
    ASSERT_EQ(bs->LocateProtocol(&gPcdProtocolGuid, nullptr, &iface), EFI_SUCCESS);
    pcd = static_cast<PCD_PROTOCOL *>(iface);
  }
};

TEST_F(PcdTest, GettersReadTheTokenStore) {
  EXPECT_EQ(pcd->Get8(1), 0x5A);
  EXPECT_EQ(pcd->Get16(2), 0xBEEF);
  EXPECT_EQ(pcd->Get32(3), 0x12345678u);
  EXPECT_EQ(pcd->Get64(4), 0x0123456789ABCDEFull);
  EXPECT_EQ(pcd->GetBool(1), TRUE);
  EXPECT_EQ(pcd->GetSize(3), 4u);
  EXPECT_EQ(pcd->GetSize(4), 8u);
  EXPECT_TRUE(core.diagnostics().empty());
  EXPECT_EQ(core.failures().calls("PCD.Get32"), 1u);
}

TEST_F(PcdTest, UnknownTokensReadZeroAndAreReported) {
  EXPECT_EQ(pcd->Get32(77), 0u);
  EXPECT_TRUE(hasDiagnostic("PCD token 77 read but not in the database"));
  EXPECT_EQ(pcd->GetSize(78), 0u);
  EXPECT_TRUE(hasDiagnostic("PCD token 78 read but not in the database"));
}

TEST_F(PcdTest, SettersStoreRefuseAndRecordEveryAttempt) {
  core.setCurrentImage("Writer");
  EXPECT_EQ(pcd->Set32(3, 0xCAFEF00D), EFI_SUCCESS);
  EXPECT_EQ(pcd->Get32(3), 0xCAFEF00Du);
  EXPECT_EQ(core.pcdTokens()[3].value, 0xCAFEF00Du);
  EXPECT_EQ(pcd->Set8(3, 1), EFI_INVALID_PARAMETER) << "token 3 is four bytes";
  EXPECT_EQ(pcd->Set64(99, 1), EFI_NOT_FOUND);
  EXPECT_EQ(pcd->SetBool(1, FALSE), EFI_SUCCESS);
  EXPECT_EQ(core.pcdTokens()[1].value, 0u);
  EXPECT_EQ(pcd->Get32(3), 0xCAFEF00Du) << "refused writes change nothing";

  const auto &writes = core.pcdWrites();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0].token, 3u);
  EXPECT_EQ(writes[0].size, 4u);
  EXPECT_EQ(writes[0].value, 0xCAFEF00Du);
  EXPECT_EQ(writes[0].owner, "Writer");
  EXPECT_EQ(writes[0].status, EFI_SUCCESS);
  EXPECT_EQ(writes[1].status, EFI_INVALID_PARAMETER);
  EXPECT_EQ(writes[1].size, 1u);
  EXPECT_EQ(writes[2].token, 99u);
  EXPECT_EQ(writes[2].status, EFI_NOT_FOUND);
  EXPECT_EQ(writes[3].size, 1u);
}

TEST_F(PcdTest, InjectedSetFailureIsRecordedAndChangesNothing) {
  core.failures().add({"PCD.Set64", 1, EFI_OUT_OF_RESOURCES, std::nullopt});
  EXPECT_EQ(pcd->Set64(4, 7), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(pcd->Get64(4), 0x0123456789ABCDEFull);
  ASSERT_EQ(core.pcdWrites().size(), 1u);
  EXPECT_EQ(core.pcdWrites()[0].status, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(pcd->Set64(4, 7), EFI_SUCCESS) << "the rule was for the first call";
  EXPECT_EQ(pcd->Get64(4), 7u);
}

TEST_F(PcdTest, UnmodelledMembersReportTheirUse) {
  UINTN size = 4;
  UINT32 value = 0;
  EXPECT_EQ(pcd->SetPtr(1, &size, &value), EFI_UNSUPPORTED);
  EXPECT_EQ(pcd->Get32Ex(&kGuidA, 1), 0u);
  EXPECT_EQ(pcd->GetPtr(1), nullptr);
  EXPECT_TRUE(hasDiagnostic("unsupported service PCD.SetPtr called"));
  EXPECT_TRUE(hasDiagnostic("unsupported service PCD.Get32Ex called"));
  EXPECT_TRUE(hasDiagnostic("unsupported service PCD.GetPtr called"));
}

constexpr UINT32 kAllAccess =
    sim::kVariableNonVolatile | sim::kVariableBootServiceAccess | sim::kVariableRuntimeAccess;

class VariableTest : public DxeTest {
protected:
  EFI_RUNTIME_SERVICES *rt = st->RuntimeServices;
  CHAR16 name[8] = u"Setup";
};

TEST_F(VariableTest, GetReportsTheSizeWhenTheBufferIsTooSmallThenCopies) {
  core.setVariable(u"Setup", kGuidA, {1, 2, 3, 4, 5, 6}, kAllAccess);
  uint8_t buffer[16] = {};
  UINTN size = 4;
  UINT32 attributes = 0;
  EXPECT_EQ(rt->GetVariable(name, &kGuidA, &attributes, &size, buffer), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(buffer[0], 0) << "nothing copied into a buffer that is too small";
  EXPECT_EQ(rt->GetVariable(name, &kGuidA, &attributes, &size, buffer), EFI_SUCCESS);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(attributes, kAllAccess);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 7), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0}));
}

TEST_F(VariableTest, GetRefusals) {
  core.setVariable(u"Setup", kGuidA, {1});
  UINTN size = 16;
  uint8_t buffer[16];
  EXPECT_EQ(rt->GetVariable(nullptr, &kGuidA, nullptr, &size, buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(rt->GetVariable(name, nullptr, nullptr, &size, buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(rt->GetVariable(name, &kGuidA, nullptr, nullptr, buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(rt->GetVariable(name, &kGuidB, nullptr, &size, buffer), EFI_NOT_FOUND) << "other GUID";
  CHAR16 other[] = u"Other";
  EXPECT_EQ(rt->GetVariable(other, &kGuidA, nullptr, &size, buffer), EFI_NOT_FOUND);
  EXPECT_EQ(rt->GetVariable(name, &kGuidA, nullptr, &size, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(VariableTest, SetStoresAndDeletes) {
  uint8_t data[] = {7, 8};
  EXPECT_EQ(rt->SetVariable(name, &kGuidB, 3, sizeof(data), data), EFI_SUCCESS);
  EXPECT_EQ(core.variable(u"Setup", kGuidB), (std::vector<uint8_t>{7, 8}));
  EXPECT_EQ(rt->SetVariable(name, &kGuidB, 7, sizeof(data), data), EFI_INVALID_PARAMETER)
      << "attributes of an existing variable cannot change";
  EXPECT_EQ(rt->SetVariable(name, &kGuidB, sim::kVariableRuntimeAccess, sizeof(data), data),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(rt->SetVariable(name, &kGuidB, 3, 0, nullptr), EFI_SUCCESS);
  EXPECT_FALSE(core.variable(u"Setup", kGuidB).has_value());
  EXPECT_EQ(rt->SetVariable(name, &kGuidB, 3, 0, nullptr), EFI_NOT_FOUND);
}

TEST_F(VariableTest, BootTimeVariablesVanishAfterExitBootServices) {
  core.setVariable(u"Setup", kGuidA, {1}, sim::kVariableNonVolatile | sim::kVariableBootServiceAccess);
  core.setVariable(u"Setup", kGuidB, {2});
  core.exitBootServices();
  uint8_t buffer[4];
  UINTN size = sizeof(buffer);
  EXPECT_EQ(rt->GetVariable(name, &kGuidA, nullptr, &size, buffer), EFI_NOT_FOUND);
  EXPECT_EQ(rt->GetVariable(name, &kGuidB, nullptr, &size, buffer), EFI_SUCCESS);
  EXPECT_EQ(buffer[0], 2);
  EXPECT_TRUE(core.diagnostics().empty()) << "runtime services stay legal";
}

class FailureTest : public DxeTest {};

TEST_F(FailureTest, NthCallFailsWithoutSideEffects) {
  core.failures().add({"AllocatePool", 2, EFI_OUT_OF_RESOURCES, std::nullopt});
  VOID *first = nullptr, *second = reinterpret_cast<VOID *>(0x1), *third = nullptr;
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &first), EFI_SUCCESS);
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &second), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(second, reinterpret_cast<VOID *>(0x1));
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &third), EFI_SUCCESS);
  EXPECT_EQ(core.poolInUse().size(), 2u);
  EXPECT_EQ(core.failures().calls("AllocatePool"), 3u);
  EXPECT_EQ(core.failures().injected(),
            (std::vector<std::string>{"AllocatePool call 2 -> Out of Resources"}));
  bs->FreePool(first);
  bs->FreePool(third);
}

TEST_F(FailureTest, CreateEventFailureLeavesTheEventUntouched) {
  core.failures().add({"CreateEventEx", 1, EFI_OUT_OF_RESOURCES, std::nullopt});
  EFI_EVENT event = reinterpret_cast<EFI_EVENT>(0x1);
  EXPECT_EQ(bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &ProbeNotify, probe("x"), &kGuidA, &event),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(event, reinterpret_cast<EFI_EVENT>(0x1));
  EXPECT_TRUE(core.events().empty());
  EXPECT_EQ(core.failures().injected(),
            (std::vector<std::string>{"CreateEventEx call 1 -> Out of Resources"}));
}

TEST_F(FailureTest, GuidRulesCountOnlyCallsAboutTheirGuid) {
  EFI_HANDLE handle = nullptr;
  int one = 1;
  core.installProtocol(&handle, kGuidA, &one);
  core.failures().add({"LocateProtocol", 2, EFI_NOT_FOUND, gPcdProtocolGuid});
  VOID *iface = nullptr;
  EXPECT_EQ(bs->LocateProtocol(&kGuidA, nullptr, &iface), EFI_SUCCESS);
  EXPECT_EQ(bs->LocateProtocol(&gPcdProtocolGuid, nullptr, &iface), EFI_SUCCESS);
  EXPECT_EQ(bs->LocateProtocol(&kGuidA, nullptr, &iface), EFI_SUCCESS);
  EXPECT_EQ(bs->LocateProtocol(&gPcdProtocolGuid, nullptr, &iface), EFI_NOT_FOUND);
  EXPECT_EQ(iface, nullptr);
  EXPECT_EQ(bs->LocateProtocol(&gPcdProtocolGuid, nullptr, &iface), EFI_SUCCESS);
  EXPECT_EQ(core.failures().calls("LocateProtocol"), 5u);
  EXPECT_EQ(core.failures().calls("LocateProtocol", gPcdProtocolGuid), 3u);
  EXPECT_EQ(core.failures().injected(),
            (std::vector<std::string>{
                "LocateProtocol call 2 (GUID 11B34006-D85B-4D0A-A290-D5A571310EF7) -> Not Found"}));
}

TEST_F(FailureTest, EveryCallRuleAndFirstGuidOfMultipleInstall) {
  core.failures().add({"InstallMultipleProtocolInterfaces", 0, EFI_DEVICE_ERROR, kGuidB});
  int one = 1, two = 2;
  EFI_HANDLE handle = nullptr;
  EXPECT_EQ(bs->InstallMultipleProtocolInterfaces(&handle, &kGuidB, &one, &kGuidA, &two, nullptr),
            EFI_DEVICE_ERROR);
  EXPECT_EQ(handle, nullptr);
  EXPECT_FALSE(core.hasProtocol(kGuidB));
  EXPECT_EQ(bs->InstallMultipleProtocolInterfaces(&handle, &kGuidB, &one, nullptr), EFI_DEVICE_ERROR);
  EXPECT_EQ(bs->InstallMultipleProtocolInterfaces(&handle, &kGuidA, &two, &kGuidB, &one, nullptr),
            EFI_SUCCESS)
      << "only the first GUID counts";
  EXPECT_EQ(core.failures().injected().size(), 2u);
}

TEST_F(FailureTest, RegisterProtocolNotifyAndSignalEventCanFail) {
  core.failures().add({"RegisterProtocolNotify", 0, EFI_OUT_OF_RESOURCES, kGuidA});
  core.failures().add({"SignalEvent", 1, EFI_INVALID_PARAMETER, std::nullopt});
  EFI_EVENT event = notifyEvent(TPL_CALLBACK, "e");
  VOID *registration = nullptr;
  EXPECT_EQ(bs->RegisterProtocolNotify(&kGuidA, event, &registration), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(registration, nullptr);
  EXPECT_EQ(bs->RegisterProtocolNotify(&kGuidB, event, &registration), EFI_SUCCESS);
  EXPECT_EQ(bs->SignalEvent(event), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(info(event).signals, 0u);
  EXPECT_EQ(bs->SignalEvent(event), EFI_SUCCESS);
  EXPECT_EQ(log.size(), 1u);
}

TEST_F(FailureTest, EveryCallIsLoggedWithItsImageAndTheNotifyRunning) {
  core.failures().add({"LocateProtocol", 2, EFI_NOT_FOUND, std::nullopt});
  core.setCurrentImage("Driver");
  VOID *iface = nullptr;
  EFI_EVENT event = notifyEvent(TPL_CALLBACK, "n", [&] {
    VOID *found = nullptr;
    EXPECT_EQ(bs->LocateProtocol(&gPcdProtocolGuid, nullptr, &found), EFI_NOT_FOUND);
  });
  EXPECT_EQ(bs->LocateProtocol(&gPcdProtocolGuid, nullptr, &iface), EFI_SUCCESS);
  core.setCurrentImage("Platform");
  ASSERT_EQ(bs->SignalEvent(event), EFI_SUCCESS);
  EFI_TPL old = bs->RaiseTPL(TPL_NOTIFY);
  bs->RestoreTPL(old);

  const auto &calls = core.failures().log();
  ASSERT_EQ(calls.size(), 6u);
  auto expect = [&](size_t i, const std::string &service, unsigned nth, const std::string &image,
                    bool inNotify, bool failable) {
    SCOPED_TRACE(i);
    EXPECT_EQ(calls[i].service, service);
    EXPECT_EQ(calls[i].nth, nth);
    EXPECT_EQ(calls[i].image, image);
    EXPECT_EQ(calls[i].notify, inNotify ? reinterpret_cast<uintptr_t>(&ProbeNotify) : 0u);
    EXPECT_EQ(calls[i].failable, failable);
  };
  expect(0, "CreateEvent", 1, "Driver", false, true);
  expect(1, "LocateProtocol", 1, "Driver", false, true);
  expect(2, "SignalEvent", 1, "Platform", false, true);
  // The notify runs as the event's owner, whoever signalled it.
  expect(3, "LocateProtocol", 2, "Driver", true, true);
  expect(4, "RaiseTPL", 1, "Platform", false, false);
  expect(5, "RestoreTPL", 1, "Platform", false, false);
  EXPECT_FALSE(calls[1].injected.has_value());
  EXPECT_EQ(calls[3].injected, EFI_NOT_FOUND);
  ASSERT_TRUE(calls[3].guid.has_value());
  EXPECT_TRUE(sim::sameGuid(*calls[3].guid, gPcdProtocolGuid));
}

TEST_F(FailureTest, PlatformServicesAreCountedAndFailedThroughTheThreadsCore) {
  core.failures().add({"VroSata.GetPortList", 2, EFI_NOT_READY, std::nullopt});
  EXPECT_EQ(sim::platformServiceCall("VroSata.GetPortList"), std::nullopt);
  EXPECT_EQ(sim::platformServiceCall("VroSata.GetPortList"), EFI_NOT_READY);
  EXPECT_EQ(core.failures().calls("VroSata.GetPortList"), 2u);
  // Another thread has no core: nothing is counted there, nothing fails.
  std::optional<EFI_STATUS> elsewhere = EFI_SUCCESS;
  std::thread([&] { elsewhere = sim::platformServiceCall("VroSata.GetPortList"); }).join();
  EXPECT_EQ(elsewhere, std::nullopt);
  EXPECT_EQ(core.failures().calls("VroSata.GetPortList"), 2u);
}

TEST_F(FailureTest, PcdGettersFailByAnsweringZero) {
  core.pcdTokens()[7] = sim::PcdToken{8, 0x1234};
  core.failures().add({"PCD.Get64", 1, EFI_DEVICE_ERROR, std::nullopt});
  EXPECT_EQ(core.pcdProtocol()->Get64(7), 0u);
  EXPECT_EQ(core.pcdProtocol()->Get64(7), 0x1234u);
}

TEST_F(TablesTest, EachThreadHasACoreOfItsOwn) {
  sim::DxeCore *seen = nullptr;
  std::thread([&] {
    sim::Machine other;
    sim::DxeCore second(other); // no conflict with this thread's core
    second.setCurrentImage("Second");
    VOID *block = nullptr;
    EXPECT_EQ(second.systemTable()->BootServices->AllocatePool(EfiBootServicesData, 4, &block), EFI_SUCCESS);
    EXPECT_EQ(second.poolInUse().size(), 1u);
    seen = &second;
  }).join();
  EXPECT_NE(seen, nullptr);
  EXPECT_TRUE(core.poolInUse().empty()) << "the other thread's allocation went to its own core";
}

TEST(StatusNames, MatchTheFirmwarePrint) {
  EXPECT_EQ(sim::statusName(EFI_SUCCESS), "Success");
  EXPECT_EQ(sim::statusName(EFI_NOT_FOUND), "Not Found");
  EXPECT_EQ(sim::statusName(EFI_OUT_OF_RESOURCES), "Out of Resources");
  EXPECT_EQ(sim::statusName(EFI_MEDIA_CHANGED), "Media changed");
  EXPECT_EQ(sim::statusName(EFI_TIMEOUT), "Time out");
  EXPECT_EQ(sim::statusName(ENCODE_ERROR(29)), "Reserved (29)");
  EXPECT_EQ(sim::statusName(EFI_COMPROMISED_DATA), "Compromised Data");
  EXPECT_EQ(sim::statusName(EFI_WARN_UNKNOWN_GLYPH), "Warning Unknown Glyph");
  EXPECT_EQ(sim::statusName(EFI_WARN_STALE_DATA), "Warning Stale Data");
  EXPECT_EQ(sim::statusName(ENCODE_ERROR(34)), "00000022");
  EXPECT_EQ(sim::statusName(6), "00000006");
  EXPECT_EQ(sim::statusName(0x1234ABCDEF012345ull), "EF012345");
}

TEST(StatusNames, ParseMacroAndPrintedNames) {
#define SIM_NAMED(Status)                                                                                    \
  { #Status, Status }
  const std::pair<const char *, EFI_STATUS> macros[] = {
      SIM_NAMED(EFI_SUCCESS),
      SIM_NAMED(EFI_LOAD_ERROR),
      SIM_NAMED(EFI_INVALID_PARAMETER),
      SIM_NAMED(EFI_UNSUPPORTED),
      SIM_NAMED(EFI_BAD_BUFFER_SIZE),
      SIM_NAMED(EFI_BUFFER_TOO_SMALL),
      SIM_NAMED(EFI_NOT_READY),
      SIM_NAMED(EFI_DEVICE_ERROR),
      SIM_NAMED(EFI_WRITE_PROTECTED),
      SIM_NAMED(EFI_OUT_OF_RESOURCES),
      SIM_NAMED(EFI_VOLUME_CORRUPTED),
      SIM_NAMED(EFI_VOLUME_FULL),
      SIM_NAMED(EFI_NO_MEDIA),
      SIM_NAMED(EFI_MEDIA_CHANGED),
      SIM_NAMED(EFI_NOT_FOUND),
      SIM_NAMED(EFI_ACCESS_DENIED),
      SIM_NAMED(EFI_NO_RESPONSE),
      SIM_NAMED(EFI_NO_MAPPING),
      SIM_NAMED(EFI_TIMEOUT),
      SIM_NAMED(EFI_NOT_STARTED),
      SIM_NAMED(EFI_ALREADY_STARTED),
      SIM_NAMED(EFI_ABORTED),
      SIM_NAMED(EFI_ICMP_ERROR),
      SIM_NAMED(EFI_TFTP_ERROR),
      SIM_NAMED(EFI_PROTOCOL_ERROR),
      SIM_NAMED(EFI_INCOMPATIBLE_VERSION),
      SIM_NAMED(EFI_SECURITY_VIOLATION),
      SIM_NAMED(EFI_CRC_ERROR),
      SIM_NAMED(EFI_END_OF_MEDIA),
      SIM_NAMED(EFI_END_OF_FILE),
      SIM_NAMED(EFI_INVALID_LANGUAGE),
      SIM_NAMED(EFI_COMPROMISED_DATA),
      SIM_NAMED(EFI_WARN_UNKNOWN_GLYPH),
      SIM_NAMED(EFI_WARN_DELETE_FAILURE),
      SIM_NAMED(EFI_WARN_WRITE_FAILURE),
      SIM_NAMED(EFI_WARN_BUFFER_TOO_SMALL),
      SIM_NAMED(EFI_WARN_STALE_DATA),
  };
#undef SIM_NAMED
  for (const auto &[name, status] : macros) {
    EXPECT_EQ(sim::statusFromName(name), status) << name;
  }
  EXPECT_EQ(sim::statusFromName("EFI_NOPE"), std::nullopt);
  EXPECT_EQ(sim::statusFromName("not found"), std::nullopt) << "names are case-sensitive";
  for (UINTN code = 1; code <= 33; code++) {
    EFI_STATUS status = ENCODE_ERROR(code);
    EXPECT_EQ(sim::statusFromName(sim::statusName(status)), status) << code;
  }
}

TEST(GuidText, RoundTripsAndRejectsMalformedText) {
  EXPECT_EQ(sim::guidToString(gEfiPciEnumerationCompleteProtocolGuid),
            "30CFE3E7-3DE1-4586-BE20-DEABA1B3B793");
  auto parsed = sim::guidFromString("30cfe3e7-3de1-4586-be20-deaba1b3b793");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_TRUE(sim::sameGuid(*parsed, gEfiPciEnumerationCompleteProtocolGuid));
  auto hobList = sim::guidFromString(sim::guidToString(gEfiHobListGuid));
  ASSERT_TRUE(hobList.has_value());
  EXPECT_TRUE(sim::sameGuid(*hobList, gEfiHobListGuid));
  EXPECT_FALSE(sim::guidFromString("30CFE3E7-3DE1-4586-BE20-DEABA1B3B79").has_value());
  EXPECT_FALSE(sim::guidFromString("30CFE3E7-3DE1-4586-BE20+DEABA1B3B793").has_value());
  EXPECT_FALSE(sim::guidFromString("30CFE3E7-3DE1-4586-BE2G-DEABA1B3B793").has_value());
  EXPECT_FALSE(sim::guidFromString("").has_value());
}

} // namespace
