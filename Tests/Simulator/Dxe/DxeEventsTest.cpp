// SPDX-License-Identifier: BSD-2-Clause-Patent
// TPL and event services of the simulated DXE core, called through the
// boot services table.
#include "DxeTestSupport.h"

#include <Guid/EventGroup.h>

using namespace dxetest;

namespace {

using Log = std::vector<std::string>;

class TplTest : public DxeTest {};

TEST_F(TplTest, RestoreDispatchesHighestTplFirstAndFifoWithinATpl) {
  EFI_EVENT a = notifyEvent(TPL_CALLBACK, "A");
  EFI_EVENT b = notifyEvent(TPL_NOTIFY, "B");
  EFI_EVENT c = notifyEvent(TPL_CALLBACK, "C");
  EFI_EVENT d = notifyEvent(TPL_NOTIFY, "D");

  EXPECT_EQ(bs->RaiseTPL(TPL_HIGH_LEVEL), static_cast<EFI_TPL>(TPL_APPLICATION));
  for (EFI_EVENT event : {a, b, c, d}) {
    ASSERT_EQ(bs->SignalEvent(event), EFI_SUCCESS);
  }
  EXPECT_TRUE(log.empty()) << "nothing runs while at TPL_HIGH_LEVEL";
  bs->RestoreTPL(TPL_APPLICATION);

  EXPECT_EQ(log, (Log{"B@TPL_NOTIFY", "D@TPL_NOTIFY", "A@TPL_CALLBACK", "C@TPL_CALLBACK"}));
  EXPECT_EQ(core.currentTpl(), static_cast<EFI_TPL>(TPL_APPLICATION));
}

TEST_F(TplTest, RestoreRunsOnlyNotifiesAboveTheRestoredLevel) {
  EFI_EVENT callback = notifyEvent(TPL_CALLBACK, "callback");
  EFI_EVENT notify = notifyEvent(TPL_NOTIFY, "notify");
  bs->RaiseTPL(TPL_HIGH_LEVEL);
  bs->SignalEvent(callback);
  bs->SignalEvent(notify);
  bs->RestoreTPL(TPL_CALLBACK);
  EXPECT_EQ(log, (Log{"notify@TPL_NOTIFY"}));
  EXPECT_EQ(core.currentTpl(), static_cast<EFI_TPL>(TPL_CALLBACK));
  bs->RestoreTPL(TPL_APPLICATION);
  EXPECT_EQ(log, (Log{"notify@TPL_NOTIFY", "callback@TPL_CALLBACK"}));
}

TEST_F(TplTest, HighLevelTurnsInterruptsOffAndRestoringBelowTurnsThemOn) {
  ASSERT_TRUE(machine.interruptsEnabled());
  EXPECT_EQ(bs->RaiseTPL(TPL_NOTIFY), static_cast<EFI_TPL>(TPL_APPLICATION));
  EXPECT_TRUE(machine.interruptsEnabled());
  EXPECT_EQ(bs->RaiseTPL(TPL_HIGH_LEVEL), static_cast<EFI_TPL>(TPL_NOTIFY));
  EXPECT_FALSE(machine.interruptsEnabled());
  bs->RestoreTPL(TPL_NOTIFY);
  EXPECT_TRUE(machine.interruptsEnabled());
  bs->RestoreTPL(TPL_APPLICATION);
  EXPECT_TRUE(machine.interruptsEnabled());
  EXPECT_TRUE(core.diagnostics().empty());
}

TEST_F(TplTest, RaisingBelowTheCurrentLevelIsReportedButDone) {
  bs->RaiseTPL(TPL_NOTIFY);
  EXPECT_EQ(bs->RaiseTPL(TPL_CALLBACK), static_cast<EFI_TPL>(TPL_NOTIFY));
  EXPECT_EQ(core.currentTpl(), static_cast<EFI_TPL>(TPL_CALLBACK));
  EXPECT_TRUE(hasDiagnostic("RaiseTPL to TPL_CALLBACK below the current TPL_NOTIFY"));
  bs->RestoreTPL(TPL_APPLICATION);
}

TEST_F(TplTest, ServicesCalledAboveTheirTplLimitAreReported) {
  bs->RaiseTPL(TPL_HIGH_LEVEL);
  VOID *buffer = nullptr;
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 16, &buffer), EFI_SUCCESS);
  bs->RestoreTPL(TPL_APPLICATION);
  EXPECT_TRUE(hasDiagnostic("AllocatePool called at TPL_HIGH_LEVEL (allowed up to TPL_NOTIFY)"));
  bs->FreePool(buffer);
}

class SignalTest : public DxeTest {};

TEST_F(SignalTest, SignalFromApplicationRunsACallbackNotifyBeforeReturning) {
  EFI_EVENT event = notifyEvent(TPL_CALLBACK, "cb");
  ASSERT_EQ(bs->SignalEvent(event), EFI_SUCCESS);
  EXPECT_EQ(log, (Log{"cb@TPL_CALLBACK"}));
  EXPECT_EQ(core.currentTpl(), static_cast<EFI_TPL>(TPL_APPLICATION));
  EXPECT_EQ(info(event).signals, 1u);
  EXPECT_EQ(info(event).notifies, 1u);
}

TEST_F(SignalTest, NotifyAtTheSameTplWaitsUntilTheRunningOneReturns) {
  EFI_EVENT second = notifyEvent(TPL_CALLBACK, "second");
  EFI_EVENT higher = notifyEvent(TPL_NOTIFY, "higher");
  EFI_EVENT first = notifyEvent(TPL_CALLBACK, "first", [&] {
    bs->SignalEvent(second);
    log.push_back("first signalled second");
    bs->SignalEvent(higher);
    log.push_back("first signalled higher");
  });
  bs->SignalEvent(first);
  EXPECT_EQ(log, (Log{"first@TPL_CALLBACK", "first signalled second", "higher@TPL_NOTIFY",
                      "first signalled higher", "second@TPL_CALLBACK"}));
}

TEST_F(SignalTest, AnEventSignalledTwiceWhilePendingIsNotifiedOnce) {
  EFI_EVENT event = notifyEvent(TPL_CALLBACK, "once");
  bs->RaiseTPL(TPL_NOTIFY);
  bs->SignalEvent(event);
  bs->SignalEvent(event);
  bs->RestoreTPL(TPL_APPLICATION);
  EXPECT_EQ(log, (Log{"once@TPL_CALLBACK"}));
  EXPECT_EQ(info(event).signals, 2u);
  EXPECT_EQ(info(event).notifies, 1u);
  // Once notified it can be queued again.
  bs->SignalEvent(event);
  EXPECT_EQ(info(event).notifies, 2u);
}

TEST_F(SignalTest, NotifyRunsAsTheImageThatCreatedTheEvent) {
  core.setCurrentImage("Creator");
  std::string seen;
  EFI_EVENT event = notifyEvent(TPL_CALLBACK, "owned", [&] { seen = core.currentImage(); });
  core.setCurrentImage("Signaller");
  bs->SignalEvent(event);
  EXPECT_EQ(seen, "Creator");
  EXPECT_EQ(core.currentImage(), "Signaller");
  EXPECT_EQ(info(event).owner, "Creator");
}

TEST_F(SignalTest, UnknownEventsAreRefused) {
  int notAnEvent = 0;
  EXPECT_EQ(bs->SignalEvent(&notAnEvent), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->CloseEvent(&notAnEvent), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->CheckEvent(nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(hasDiagnostic("SignalEvent of an unknown or closed event"));
  EXPECT_TRUE(hasDiagnostic("CloseEvent of an unknown or closed event"));
}

class CreateEventTest : public DxeTest {};

TEST_F(CreateEventTest, InvalidArgumentsAreRefusedAndLeaveTheEventUntouched) {
  auto *context = probe("never");
  EFI_EVENT sentinel = reinterpret_cast<EFI_EVENT>(0x1234);
  struct Case {
    const char *what;
    UINT32 type;
    EFI_TPL tpl;
    EFI_EVENT_NOTIFY notify;
  };
  const Case cases[] = {
      {"notify-signal without a function", EVT_NOTIFY_SIGNAL, TPL_CALLBACK, nullptr},
      {"notify-wait without a function", EVT_NOTIFY_WAIT, TPL_CALLBACK, nullptr},
      {"notify TPL_APPLICATION", EVT_NOTIFY_SIGNAL, TPL_APPLICATION, &ProbeNotify},
      {"notify TPL above high", EVT_NOTIFY_SIGNAL, TPL_HIGH_LEVEL + 1, &ProbeNotify},
      {"wait and signal together", EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT, TPL_CALLBACK, &ProbeNotify},
      {"unknown type bits", 0x00000004, TPL_CALLBACK, &ProbeNotify},
  };
  for (const auto &c : cases) {
    EFI_EVENT event = sentinel;
    EXPECT_EQ(bs->CreateEvent(c.type, c.tpl, c.notify, context, &event), EFI_INVALID_PARAMETER) << c.what;
    EXPECT_EQ(event, sentinel) << c.what;
  }
  EXPECT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, &ProbeNotify, context, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_TRUE(core.events().empty());
}

TEST_F(CreateEventTest, EdgeTplsAndPlainEventsAreAccepted) {
  EFI_EVENT high = nullptr;
  EXPECT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_HIGH_LEVEL, &ProbeNotify, probe("high"), &high),
            EFI_SUCCESS);
  EFI_EVENT plain = nullptr;
  EXPECT_EQ(bs->CreateEvent(0, 0, nullptr, nullptr, &plain), EFI_SUCCESS);
  EXPECT_NE(high, nullptr);
  EXPECT_NE(plain, nullptr);
  EXPECT_NE(high, plain);
  // A TPL_HIGH_LEVEL notify runs with interrupts off.
  bool interruptsDuringNotify = true;
  probes.front().action = [&] { interruptsDuringNotify = machine.interruptsEnabled(); };
  bs->SignalEvent(high);
  EXPECT_EQ(log, (Log{"high@TPL_HIGH_LEVEL"}));
  EXPECT_FALSE(interruptsDuringNotify);
  EXPECT_TRUE(machine.interruptsEnabled());
}

TEST_F(CreateEventTest, EventsAreRecordedInCreationOrderWithTheirOwners) {
  core.setCurrentImage("First");
  EFI_EVENT one = notifyEvent(TPL_CALLBACK, "one");
  core.setCurrentImage("Second");
  EFI_EVENT two = notifyEvent(TPL_NOTIFY, "two");
  ASSERT_EQ(core.events().size(), 2u);
  EXPECT_EQ(core.events()[0].handle, one);
  EXPECT_EQ(core.events()[0].owner, "First");
  EXPECT_EQ(core.events()[0].notifyTpl, static_cast<EFI_TPL>(TPL_CALLBACK));
  EXPECT_EQ(core.events()[1].handle, two);
  EXPECT_EQ(core.events()[1].owner, "Second");
  EXPECT_EQ(core.events()[1].notify, &ProbeNotify);
  EXPECT_FALSE(core.events()[1].group.has_value());
}

class GroupTest : public DxeTest {};

TEST_F(GroupTest, SignallingAMemberSignalsEveryOpenMemberOfTheGroup) {
  EFI_EVENT first = groupEvent(kGuidA, TPL_CALLBACK, "first");
  groupEvent(kGuidA, TPL_NOTIFY, "second");
  groupEvent(kGuidB, TPL_CALLBACK, "other group");
  EFI_EVENT closed = groupEvent(kGuidA, TPL_CALLBACK, "closed");
  ASSERT_EQ(bs->CloseEvent(closed), EFI_SUCCESS);

  ASSERT_EQ(bs->SignalEvent(first), EFI_SUCCESS);
  EXPECT_EQ(log, (Log{"second@TPL_NOTIFY", "first@TPL_CALLBACK"}));
  EXPECT_TRUE(info(closed).closed);
  EXPECT_EQ(info(closed).notifies, 0u);

  log.clear();
  core.signalEventGroup(kGuidB);
  EXPECT_EQ(log, (Log{"other group@TPL_CALLBACK"}));
}

TEST_F(GroupTest, ClosingAPendingEventRemovesItFromTheQueue) {
  EFI_EVENT event = groupEvent(kGuidA, TPL_CALLBACK, "closed while pending");
  EFI_EVENT kept = groupEvent(kGuidA, TPL_CALLBACK, "kept");
  bs->RaiseTPL(TPL_NOTIFY);
  core.signalEventGroup(kGuidA);
  EXPECT_EQ(bs->CloseEvent(event), EFI_SUCCESS);
  bs->RestoreTPL(TPL_APPLICATION);
  EXPECT_EQ(log, (Log{"kept@TPL_CALLBACK"}));
  EXPECT_EQ(info(kept).notifies, 1u);
  // A second close is a misuse.
  EXPECT_EQ(bs->CloseEvent(event), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(hasDiagnostic("CloseEvent of an unknown or closed event"));
  EXPECT_EQ(bs->SignalEvent(event), EFI_INVALID_PARAMETER);
}

TEST_F(GroupTest, ExitBootServicesEventsJoinTheirGroupAndLaterCallsAreReported) {
  EFI_EVENT byType = nullptr;
  ASSERT_EQ(
      bs->CreateEvent(EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_NOTIFY, &ProbeNotify, probe("by type"), &byType),
      EFI_SUCCESS);
  groupEvent(gEfiEventExitBootServicesGuid, TPL_CALLBACK, "by group");
  ASSERT_TRUE(info(byType).group.has_value());
  EXPECT_TRUE(sim::sameGuid(*info(byType).group, gEfiEventExitBootServicesGuid));

  EFI_EVENT refused = nullptr;
  EXPECT_EQ(bs->CreateEventEx(EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_NOTIFY, &ProbeNotify, probe("refused"),
                              &kGuidA, &refused),
            EFI_INVALID_PARAMETER);

  EXPECT_FALSE(core.bootServicesExited());
  core.exitBootServices();
  EXPECT_EQ(log, (Log{"by type@TPL_NOTIFY", "by group@TPL_CALLBACK"}));
  EXPECT_TRUE(core.bootServicesExited());
  EXPECT_TRUE(core.diagnostics().empty());

  VOID *buffer = nullptr;
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &buffer), EFI_SUCCESS);
  EXPECT_TRUE(hasDiagnostic("AllocatePool called after ExitBootServices"));
  bs->FreePool(buffer);
}

TEST_F(GroupTest, InstallingAConfigurationTableSignalsTheGroupOfItsGuid) {
  groupEvent(kGuidC, TPL_CALLBACK, "table arrived");
  int table = 0;
  EXPECT_EQ(bs->InstallConfigurationTable(&kGuidC, &table), EFI_SUCCESS);
  EXPECT_EQ(log, (Log{"table arrived@TPL_CALLBACK"}));
}

class CheckEventTest : public DxeTest {};

TEST_F(CheckEventTest, WaitEventRunsItsNotifyWhenCheckedUnsignalled) {
  EFI_EVENT wait = notifyEvent(TPL_CALLBACK, "wait", {}, EVT_NOTIFY_WAIT);
  EXPECT_EQ(bs->CheckEvent(wait), EFI_NOT_READY);
  EXPECT_EQ(log, (Log{"wait@TPL_CALLBACK"}));
  ASSERT_EQ(bs->SignalEvent(wait), EFI_SUCCESS);
  EXPECT_EQ(log.size(), 1u) << "signalling a wait event runs no notify";
  EXPECT_EQ(bs->CheckEvent(wait), EFI_SUCCESS);
  EXPECT_EQ(bs->CheckEvent(wait), EFI_NOT_READY) << "a successful check clears the signal";
  EXPECT_EQ(log.size(), 2u);
}

TEST_F(CheckEventTest, WaitNotifyIsQueuedOnceWhileItCannotRun) {
  EFI_EVENT wait = notifyEvent(TPL_CALLBACK, "wait", {}, EVT_NOTIFY_WAIT);
  bs->RaiseTPL(TPL_NOTIFY);
  EXPECT_EQ(bs->CheckEvent(wait), EFI_NOT_READY);
  EXPECT_EQ(bs->CheckEvent(wait), EFI_NOT_READY);
  EXPECT_TRUE(log.empty());
  bs->RestoreTPL(TPL_APPLICATION);
  EXPECT_EQ(log, (Log{"wait@TPL_CALLBACK"}));
}

TEST_F(CheckEventTest, WaitNotifyThatSignalsMakesTheCheckSucceed) {
  EFI_EVENT wait = nullptr;
  probe("self-signalling", [&] { bs->SignalEvent(wait); });
  ASSERT_EQ(bs->CreateEvent(EVT_NOTIFY_WAIT, TPL_CALLBACK, &ProbeNotify, &probes.back(), &wait), EFI_SUCCESS);
  EXPECT_EQ(bs->CheckEvent(wait), EFI_SUCCESS);
}

TEST_F(CheckEventTest, PlainAndSignalEvents) {
  EFI_EVENT plain = nullptr;
  ASSERT_EQ(bs->CreateEvent(0, 0, nullptr, nullptr, &plain), EFI_SUCCESS);
  EXPECT_EQ(bs->CheckEvent(plain), EFI_NOT_READY);
  bs->SignalEvent(plain);
  EXPECT_EQ(bs->CheckEvent(plain), EFI_SUCCESS);
  EFI_EVENT signal = notifyEvent(TPL_CALLBACK, "signal");
  EXPECT_EQ(bs->CheckEvent(signal), EFI_INVALID_PARAMETER);
}

} // namespace
