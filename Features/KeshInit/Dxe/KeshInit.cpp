// SPDX-License-Identifier: BSD-2-Clause-Patent
// Driver entry and event wiring: all hub work happens late in DXE, in the
// notify functions registered here.
#include "KeshInit.h"
#include <Guid/EventGroup.h>
#include <Protocol/PciEnumerationComplete.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/DebugLib.h>

EFI_HANDLE mImageHandle = nullptr;

VOID KeshRegisterEvents(VOID) {
  EFI_STATUS Status;
  EFI_EVENT Event;
  VOID *Registration;

  // Signalled once at registration: if enumeration is already complete, the
  // runtime MMIO work is done right here, inside the entry.
  EfiCreateProtocolNotifyEvent(&gEfiPciEnumerationCompleteProtocolGuid, TPL_CALLBACK, KeshOnPciEnumComplete,
                               nullptr, &Registration);

  Status = gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, KeshOnEndOfDxe, nullptr,
                              &gEfiEndOfDxeEventGroupGuid, &Event);
  ASSERT_EFI_ERROR(Status);

  Status = EfiCreateEventReadyToBootEx(TPL_CALLBACK, KeshOnReadyToBoot, nullptr, &Event);
  ASSERT_EFI_ERROR(Status);

  Status =
      gBS->CreateEvent(EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_CALLBACK, KeshOnExitBootServices, nullptr, &Event);
  ASSERT_EFI_ERROR(Status);
}

EFI_STATUS EFIAPI KeshInitEntryPoint(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) SystemTable;
  mImageHandle = ImageHandle;
  DEBUG((DEBUG_INFO, "KeshInitEntryPoint Entry\n"));
  KeshRegisterEvents();
  DEBUG((DEBUG_INFO, "KeshInitEntryPoint Exit\n"));
  // A failed registration must never unload the driver.
  return EFI_SUCCESS;
}

VOID EFIAPI KeshOnEndOfDxe(IN EFI_EVENT Event, IN VOID *Context) {
  (VOID) Context;
  DEBUG((DEBUG_INFO, "KeshOnEndOfDxe() Entry\n"));
  gBS->CloseEvent(Event);
  // Each runs whatever the others report; protection is armed before any
  // port is switched off.
  ActivateSpiProtectLock();
  PlatformUsbPolicy();
  EmbeddedSataPortDisablement();
  DEBUG((DEBUG_INFO, "KeshOnEndOfDxe() Exit\n"));
}

VOID EFIAPI KeshOnReadyToBoot(IN EFI_EVENT Event, IN VOID *Context) {
  (VOID) Context;
  DEBUG((DEBUG_INFO, "KeshOnReadyToBoot() Entry\n"));
  // Closed at once, so a second signal of the group does not reach here.
  gBS->CloseEvent(Event);
  DEBUG((DEBUG_INFO, "KeshOnReadyToBoot() Exit\n"));
}

VOID EFIAPI KeshOnExitBootServices(IN EFI_EVENT Event, IN VOID *Context) {
  (VOID) Event;
  (VOID) Context;
}
