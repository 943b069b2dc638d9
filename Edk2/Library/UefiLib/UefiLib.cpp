// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <Library/UefiLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Guid/EventGroup.h>

EFI_EVENT EFIAPI EfiCreateProtocolNotifyEvent(IN EFI_GUID *ProtocolGuid, IN EFI_TPL NotifyTpl,
                                              IN EFI_EVENT_NOTIFY NotifyFunction,
                                              IN VOID *NotifyContext OPTIONAL, OUT VOID **Registration) {
  ASSERT(ProtocolGuid != NULL);
  ASSERT(NotifyFunction != NULL);
  ASSERT(Registration != NULL);

  EFI_EVENT Event = nullptr;
  EFI_STATUS Status = gBS->CreateEvent(EVT_NOTIFY_SIGNAL, NotifyTpl, NotifyFunction, NotifyContext, &Event);
  ASSERT_EFI_ERROR(Status);

  Status = gBS->RegisterProtocolNotify(ProtocolGuid, Event, Registration);
  ASSERT_EFI_ERROR(Status);

  // Run the notify once now, for interfaces installed before registration.
  gBS->SignalEvent(Event);
  return Event;
}

static VOID EFIAPI EfiEventEmptyFunction(IN EFI_EVENT Event, IN VOID *Context) {
  (VOID) Event;
  (VOID) Context;
}

EFI_STATUS EFIAPI EfiCreateEventReadyToBootEx(IN EFI_TPL NotifyTpl,
                                              IN EFI_EVENT_NOTIFY NotifyFunction OPTIONAL,
                                              IN VOID *NotifyContext OPTIONAL,
                                              OUT EFI_EVENT *ReadyToBootEvent) {
  ASSERT(ReadyToBootEvent != NULL);

  if (gST->Hdr.Revision < EFI_2_00_SYSTEM_TABLE_REVISION) {
    DEBUG((DEBUG_ERROR, "EFI1.1 can't support ReadyToBootEvent!"));
    ASSERT(FALSE);
    return EFI_UNSUPPORTED;
  }

  EFI_EVENT_NOTIFY Callback = (NotifyFunction == nullptr) ? EfiEventEmptyFunction : NotifyFunction;
  return gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, NotifyTpl, Callback, NotifyContext, &gEfiEventReadyToBootGuid,
                            ReadyToBootEvent);
}

EFI_STATUS EFIAPI EfiGetSystemConfigurationTable(IN EFI_GUID *TableGuid, OUT VOID **Table) {
  ASSERT(TableGuid != NULL);
  ASSERT(Table != NULL);

  // cppcheck-suppress nullPointerRedundantCheck ; the assertion reports a caller fault, it guards nothing
  *Table = nullptr;
  for (UINTN Index = 0; Index < gST->NumberOfTableEntries; Index++) {
    if (CompareGuid(TableGuid, &gST->ConfigurationTable[Index].VendorGuid)) {
      *Table = gST->ConfigurationTable[Index].VendorTable;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}
