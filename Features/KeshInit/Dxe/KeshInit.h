// SPDX-License-Identifier: BSD-2-Clause-Patent
// The Kesh hub initialisation driver.
#pragma once
#include <PiDxe.h>

extern EFI_HANDLE mImageHandle;

EFI_STATUS EFIAPI KeshInitEntryPoint(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
VOID KeshRegisterEvents(VOID);

VOID EFIAPI KeshOnPciEnumComplete(IN EFI_EVENT Event, IN VOID *Context);
VOID EFIAPI KeshOnEndOfDxe(IN EFI_EVENT Event, IN VOID *Context);
VOID EFIAPI KeshOnReadyToBoot(IN EFI_EVENT Event, IN VOID *Context);
VOID EFIAPI KeshOnExitBootServices(IN EFI_EVENT Event, IN VOID *Context);

// The End-of-DXE work, in the order it runs.
VOID ActivateSpiProtectLock(VOID);
EFI_STATUS PlatformUsbPolicy(VOID);
EFI_STATUS OrvexPlatformUsbDisable(IN UINT8 Locations);
EFI_STATUS EmbeddedSataPortDisablement(VOID);
