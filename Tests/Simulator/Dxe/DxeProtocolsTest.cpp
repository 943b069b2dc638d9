// SPDX-License-Identifier: BSD-2-Clause-Patent
// The protocol database of the simulated DXE core: install/locate,
// registration keys of protocol notifies, the multiple-interface services.
#include "DxeTestSupport.h"

using namespace dxetest;

namespace {

using Log = std::vector<std::string>;

int gInterfaceOne = 1;
int gInterfaceTwo = 2;
int gInterfaceThree = 3;

class ProtocolTest : public DxeTest {
protected:
  EFI_STATUS install(EFI_HANDLE *handle, EFI_GUID &guid, void *iface) {
    return bs->InstallProtocolInterface(handle, &guid, EFI_NATIVE_INTERFACE, iface);
  }

  // Every interface a registration hands out, until EFI_NOT_FOUND.
  std::vector<void *> drain(EFI_GUID &guid, void *registration) {
    std::vector<void *> found;
    for (;;) {
      VOID *iface = reinterpret_cast<VOID *>(0x1);
      EFI_STATUS status = bs->LocateProtocol(&guid, registration, &iface);
      if (status == EFI_NOT_FOUND) {
        EXPECT_EQ(iface, nullptr) << "a failed LocateProtocol clears the interface";
        return found;
      }
      EXPECT_EQ(status, EFI_SUCCESS);
      found.push_back(iface);
      if (found.size() > 16) {
        ADD_FAILURE() << "the registration never runs dry";
        return found;
      }
    }
  }
};

TEST_F(ProtocolTest, InstallLocateHandleAndUninstall) {
  EFI_HANDLE handle = nullptr;
  ASSERT_EQ(install(&handle, kGuidA, &gInterfaceOne), EFI_SUCCESS);
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(core.hasProtocol(kGuidA));

  VOID *iface = nullptr;
  EXPECT_EQ(bs->LocateProtocol(&kGuidA, nullptr, &iface), EFI_SUCCESS);
  EXPECT_EQ(iface, &gInterfaceOne);
  iface = nullptr;
  EXPECT_EQ(bs->HandleProtocol(handle, &kGuidA, &iface), EFI_SUCCESS);
  EXPECT_EQ(iface, &gInterfaceOne);
  EXPECT_EQ(bs->HandleProtocol(handle, &kGuidB, &iface), EFI_UNSUPPORTED);
  EXPECT_EQ(iface, nullptr);

  EXPECT_EQ(install(&handle, kGuidA, &gInterfaceTwo), EFI_INVALID_PARAMETER) << "same GUID twice on a handle";
  EXPECT_EQ(
      bs->InstallProtocolInterface(&handle, &kGuidB, static_cast<EFI_INTERFACE_TYPE>(1), &gInterfaceTwo),
      EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->InstallProtocolInterface(nullptr, &kGuidB, EFI_NATIVE_INTERFACE, &gInterfaceTwo),
            EFI_INVALID_PARAMETER);

  EXPECT_EQ(bs->UninstallProtocolInterface(handle, &kGuidA, &gInterfaceTwo), EFI_NOT_FOUND)
      << "wrong interface";
  EXPECT_EQ(bs->UninstallProtocolInterface(handle, &kGuidA, &gInterfaceOne), EFI_SUCCESS);
  EXPECT_FALSE(core.hasProtocol(kGuidA));
  iface = reinterpret_cast<VOID *>(0x1);
  EXPECT_EQ(bs->LocateProtocol(&kGuidA, nullptr, &iface), EFI_NOT_FOUND);
  EXPECT_EQ(iface, nullptr);
  // The handle went with its last protocol.
  EXPECT_EQ(bs->HandleProtocol(handle, &kGuidA, &iface), EFI_INVALID_PARAMETER);
  EXPECT_EQ(install(&handle, kGuidB, &gInterfaceTwo), EFI_INVALID_PARAMETER);
}

TEST_F(ProtocolTest, LocateProtocolWithoutKeyReturnsTheFirstInstalled) {
  EFI_HANDLE first = nullptr, second = nullptr;
  ASSERT_EQ(install(&first, kGuidA, &gInterfaceOne), EFI_SUCCESS);
  ASSERT_EQ(install(&second, kGuidA, &gInterfaceTwo), EFI_SUCCESS);
  EXPECT_NE(first, second);
  VOID *iface = nullptr;
  EXPECT_EQ(bs->LocateProtocol(&kGuidA, nullptr, &iface), EFI_SUCCESS);
  EXPECT_EQ(iface, &gInterfaceOne);
  EXPECT_EQ(bs->LocateProtocol(&kGuidA, nullptr, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->LocateProtocol(nullptr, nullptr, &iface), EFI_INVALID_PARAMETER);
}

TEST_F(ProtocolTest, PlatformHandlesLiveWithoutProtocols) {
  EFI_HANDLE image = core.createHandle();
  EXPECT_EQ(core.installProtocol(&image, kGuidA, &gInterfaceOne), EFI_SUCCESS);
  EXPECT_EQ(core.uninstallProtocol(image, kGuidA, &gInterfaceOne), EFI_SUCCESS);
  EXPECT_EQ(install(&image, kGuidB, &gInterfaceTwo), EFI_SUCCESS) << "a platform handle stays valid";
}

TEST_F(ProtocolTest, ProtocolsAreListedInInstallOrderWithThePcdProtocolFirst) {
  EFI_HANDLE handle = nullptr;
  install(&handle, kGuidB, &gInterfaceOne);
  install(&handle, kGuidA, &gInterfaceTwo);
  auto listed = core.protocols();
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].first, core.pcdHandle());
  EXPECT_TRUE(sim::sameGuid(listed[0].second, gPcdProtocolGuid));
  EXPECT_EQ(listed[1].first, handle);
  EXPECT_TRUE(sim::sameGuid(listed[1].second, kGuidB));
  EXPECT_TRUE(sim::sameGuid(listed[2].second, kGuidA));
}

class NotifyTest : public ProtocolTest {};

TEST_F(NotifyTest, EachInstallSignalsAndTheKeyHandsOutEachNewInterfaceOnce) {
  EFI_HANDLE early = nullptr;
  ASSERT_EQ(install(&early, kGuidA, &gInterfaceOne), EFI_SUCCESS);

  VOID *registration = nullptr;
  std::vector<void *> seen;
  EFI_EVENT event = notifyEvent(TPL_CALLBACK, "notify", [&] {
    auto found = drain(kGuidA, registration);
    seen.insert(seen.end(), found.begin(), found.end());
  });
  ASSERT_EQ(bs->RegisterProtocolNotify(&kGuidA, event, &registration), EFI_SUCCESS);
  ASSERT_NE(registration, nullptr);
  EXPECT_TRUE(log.empty()) << "registering does not signal";

  EFI_HANDLE h1 = nullptr, h2 = nullptr;
  ASSERT_EQ(install(&h1, kGuidA, &gInterfaceTwo), EFI_SUCCESS);
  EXPECT_EQ(seen, (std::vector<void *>{&gInterfaceTwo})) << "the notify ran before the install returned";
  ASSERT_EQ(install(&h2, kGuidA, &gInterfaceThree), EFI_SUCCESS);
  EXPECT_EQ(seen, (std::vector<void *>{&gInterfaceTwo, &gInterfaceThree}));
  EXPECT_EQ(info(event).notifies, 2u);

  ASSERT_EQ(install(&h1, kGuidB, &gInterfaceOne), EFI_SUCCESS);
  EXPECT_EQ(info(event).notifies, 2u) << "another GUID does not signal";
}

TEST_F(NotifyTest, TwoInstallsBeforeTheNotifyRunsGiveTwoResultsThenNotFound) {
  VOID *registration = nullptr;
  EFI_EVENT event = notifyEvent(TPL_CALLBACK, "late");
  ASSERT_EQ(bs->RegisterProtocolNotify(&kGuidA, event, &registration), EFI_SUCCESS);

  bs->RaiseTPL(TPL_NOTIFY);
  EFI_HANDLE h1 = nullptr, h2 = nullptr;
  install(&h1, kGuidA, &gInterfaceOne);
  install(&h2, kGuidA, &gInterfaceTwo);
  EXPECT_TRUE(log.empty());
  bs->RestoreTPL(TPL_APPLICATION);
  EXPECT_EQ(log, (Log{"late@TPL_CALLBACK"})) << "two signals while pending, one notify";
  EXPECT_EQ(info(event).signals, 2u);

  EXPECT_EQ(drain(kGuidA, registration), (std::vector<void *>{&gInterfaceOne, &gInterfaceTwo}));
  EXPECT_EQ(drain(kGuidA, registration), std::vector<void *>{});
}

TEST_F(NotifyTest, RegistrationKeysAreIndependent) {
  VOID *first = nullptr, *second = nullptr;
  EFI_EVENT e1 = notifyEvent(TPL_CALLBACK, "e1");
  EFI_EVENT e2 = notifyEvent(TPL_CALLBACK, "e2");
  ASSERT_EQ(bs->RegisterProtocolNotify(&kGuidA, e1, &first), EFI_SUCCESS);
  EFI_HANDLE h1 = nullptr;
  install(&h1, kGuidA, &gInterfaceOne);
  ASSERT_EQ(bs->RegisterProtocolNotify(&kGuidA, e2, &second), EFI_SUCCESS);
  EXPECT_NE(first, second);
  EFI_HANDLE h2 = nullptr;
  install(&h2, kGuidA, &gInterfaceTwo);

  EXPECT_EQ(drain(kGuidA, first), (std::vector<void *>{&gInterfaceOne, &gInterfaceTwo}));
  EXPECT_EQ(drain(kGuidA, second), (std::vector<void *>{&gInterfaceTwo}));
  EXPECT_EQ(log, (Log{"e1@TPL_CALLBACK", "e1@TPL_CALLBACK", "e2@TPL_CALLBACK"}));
}

TEST_F(NotifyTest, ReinstallSignalsAgainAndHandsOutTheNewInterface) {
  EFI_HANDLE handle = nullptr;
  install(&handle, kGuidA, &gInterfaceOne);
  VOID *registration = nullptr;
  EFI_EVENT event = notifyEvent(TPL_CALLBACK, "re");
  ASSERT_EQ(bs->RegisterProtocolNotify(&kGuidA, event, &registration), EFI_SUCCESS);

  EXPECT_EQ(bs->ReinstallProtocolInterface(handle, &kGuidA, &gInterfaceTwo, &gInterfaceThree), EFI_NOT_FOUND);
  ASSERT_EQ(bs->ReinstallProtocolInterface(handle, &kGuidA, &gInterfaceOne, &gInterfaceTwo), EFI_SUCCESS);
  EXPECT_EQ(log, (Log{"re@TPL_CALLBACK"}));
  EXPECT_EQ(drain(kGuidA, registration), (std::vector<void *>{&gInterfaceTwo}));
  VOID *iface = nullptr;
  bs->HandleProtocol(handle, &kGuidA, &iface);
  EXPECT_EQ(iface, &gInterfaceTwo);
}

TEST_F(NotifyTest, ClosingTheEventDropsItsRegistration) {
  VOID *registration = nullptr;
  EFI_EVENT event = notifyEvent(TPL_CALLBACK, "dropped");
  ASSERT_EQ(bs->RegisterProtocolNotify(&kGuidA, event, &registration), EFI_SUCCESS);
  ASSERT_EQ(bs->CloseEvent(event), EFI_SUCCESS);
  EFI_HANDLE handle = nullptr;
  install(&handle, kGuidA, &gInterfaceOne);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(info(event).signals, 0u);
  VOID *iface = nullptr;
  EXPECT_EQ(bs->LocateProtocol(&kGuidA, registration, &iface), EFI_NOT_FOUND);
  EXPECT_TRUE(hasDiagnostic("LocateProtocol with an unknown registration key"));
}

TEST_F(NotifyTest, RegisterRefusesBadArguments) {
  VOID *registration = nullptr;
  EFI_EVENT event = notifyEvent(TPL_CALLBACK, "bad");
  EXPECT_EQ(bs->RegisterProtocolNotify(nullptr, event, &registration), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->RegisterProtocolNotify(&kGuidA, event, nullptr), EFI_INVALID_PARAMETER);
  int notAnEvent = 0;
  EXPECT_EQ(bs->RegisterProtocolNotify(&kGuidA, &notAnEvent, &registration), EFI_INVALID_PARAMETER);
  EXPECT_EQ(registration, nullptr);
}

class MultipleTest : public ProtocolTest {};

TEST_F(MultipleTest, InstallsEveryPairOnANewHandleBeforeAnyNotifyRuns) {
  VOID *partner = reinterpret_cast<VOID *>(0x1);
  EFI_HANDLE handle = nullptr;
  EFI_EVENT event = notifyEvent(TPL_CALLBACK, "a", [&] { bs->HandleProtocol(handle, &kGuidB, &partner); });
  VOID *registration = nullptr;
  bs->RegisterProtocolNotify(&kGuidA, event, &registration);

  ASSERT_EQ(bs->InstallMultipleProtocolInterfaces(&handle, &kGuidA, &gInterfaceOne, &kGuidB, &gInterfaceTwo,
                                                  nullptr),
            EFI_SUCCESS);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(log, (Log{"a@TPL_CALLBACK"}));
  EXPECT_EQ(partner, &gInterfaceTwo) << "the notify saw the second interface already installed";
  EXPECT_EQ(core.currentTpl(), static_cast<EFI_TPL>(TPL_APPLICATION));
}

TEST_F(MultipleTest, AFailingPairUndoesTheOnesBeforeIt) {
  EFI_HANDLE handle = nullptr;
  ASSERT_EQ(install(&handle, kGuidB, &gInterfaceOne), EFI_SUCCESS);
  EFI_HANDLE same = handle;
  EXPECT_EQ(bs->InstallMultipleProtocolInterfaces(&handle, &kGuidA, &gInterfaceTwo, &kGuidB, &gInterfaceThree,
                                                  nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(handle, same);
  EXPECT_FALSE(core.hasProtocol(kGuidA));
  VOID *iface = nullptr;
  EXPECT_EQ(bs->HandleProtocol(handle, &kGuidB, &iface), EFI_SUCCESS);
  EXPECT_EQ(iface, &gInterfaceOne);
}

TEST_F(MultipleTest, AFailureOnANewHandleLeavesNoHandle) {
  EFI_HANDLE handle = nullptr;
  EXPECT_EQ(bs->InstallMultipleProtocolInterfaces(&handle, &kGuidA, &gInterfaceOne, &kGuidC, &gInterfaceTwo,
                                                  &kGuidA, &gInterfaceThree, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(handle, nullptr);
  EXPECT_FALSE(core.hasProtocol(kGuidA));
  EXPECT_FALSE(core.hasProtocol(kGuidC));
  EXPECT_EQ(core.protocols().size(), 1u) << "only the PCD protocol remains";
  EXPECT_EQ(bs->InstallMultipleProtocolInterfaces(nullptr, &kGuidA, &gInterfaceOne, nullptr),
            EFI_INVALID_PARAMETER);
}

TEST_F(MultipleTest, UninstallIsAllOrNothing) {
  EFI_HANDLE handle = nullptr;
  ASSERT_EQ(bs->InstallMultipleProtocolInterfaces(&handle, &kGuidA, &gInterfaceOne, &kGuidB, &gInterfaceTwo,
                                                  nullptr),
            EFI_SUCCESS);
  EXPECT_EQ(bs->UninstallMultipleProtocolInterfaces(handle, &kGuidA, &gInterfaceOne, &kGuidC,
                                                    &gInterfaceThree, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_TRUE(core.hasProtocol(kGuidA));
  EXPECT_EQ(bs->UninstallMultipleProtocolInterfaces(handle, &kGuidA, &gInterfaceOne, &kGuidA, &gInterfaceOne,
                                                    nullptr),
            EFI_INVALID_PARAMETER)
      << "one installed interface cannot be removed twice";
  EXPECT_TRUE(core.hasProtocol(kGuidA));

  EXPECT_EQ(bs->UninstallMultipleProtocolInterfaces(handle, &kGuidB, &gInterfaceTwo, &kGuidA, &gInterfaceOne,
                                                    nullptr),
            EFI_SUCCESS);
  EXPECT_FALSE(core.hasProtocol(kGuidA));
  EXPECT_FALSE(core.hasProtocol(kGuidB));
  VOID *iface = nullptr;
  EXPECT_EQ(bs->HandleProtocol(handle, &kGuidA, &iface), EFI_INVALID_PARAMETER);
}

class LocateHandleTest : public ProtocolTest {};

TEST_F(LocateHandleTest, ByProtocolReportsTheSizeThenFillsInInstallOrder) {
  EFI_HANDLE h1 = nullptr, h2 = nullptr, other = nullptr;
  install(&h2, kGuidB, &gInterfaceOne);
  install(&h1, kGuidA, &gInterfaceOne);
  install(&other, kGuidC, &gInterfaceTwo);
  install(&h2, kGuidA, &gInterfaceTwo);

  UINTN size = 0;
  EXPECT_EQ(bs->LocateHandle(ByProtocol, &kGuidA, nullptr, &size, nullptr), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 2 * sizeof(EFI_HANDLE));
  EFI_HANDLE found[4] = {};
  size = sizeof(found);
  ASSERT_EQ(bs->LocateHandle(ByProtocol, &kGuidA, nullptr, &size, found), EFI_SUCCESS);
  EXPECT_EQ(size, 2 * sizeof(EFI_HANDLE));
  EXPECT_EQ(found[0], h1);
  EXPECT_EQ(found[1], h2);
  EXPECT_EQ(found[2], nullptr);

  size = sizeof(found);
  EXPECT_EQ(bs->LocateHandle(ByProtocol, &kGuidB, nullptr, nullptr, found), EFI_INVALID_PARAMETER);
  EFI_GUID unknown = {0xDEAD, 0, 0, {}};
  EXPECT_EQ(bs->LocateHandle(ByProtocol, &unknown, nullptr, &size, found), EFI_NOT_FOUND);
}

TEST_F(LocateHandleTest, ByRegisterNotifyHandsOutOneNewHandlePerCall) {
  VOID *registration = nullptr;
  EFI_EVENT event = notifyEvent(TPL_CALLBACK, "handles");
  bs->RegisterProtocolNotify(&kGuidA, event, &registration);
  EFI_HANDLE h1 = nullptr, h2 = nullptr;
  install(&h1, kGuidA, &gInterfaceOne);
  install(&h2, kGuidA, &gInterfaceTwo);
  EFI_HANDLE found = nullptr;
  UINTN size = sizeof(found);
  ASSERT_EQ(bs->LocateHandle(ByRegisterNotify, nullptr, registration, &size, &found), EFI_SUCCESS);
  EXPECT_EQ(found, h1);
  ASSERT_EQ(bs->LocateHandle(ByRegisterNotify, nullptr, registration, &size, &found), EFI_SUCCESS);
  EXPECT_EQ(found, h2);
  EXPECT_EQ(bs->LocateHandle(ByRegisterNotify, nullptr, registration, &size, &found), EFI_NOT_FOUND);
}

} // namespace
