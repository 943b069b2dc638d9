// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once
#include <Uefi.h>

UINTN EFIAPI MicroSecondDelay(IN UINTN MicroSeconds);

EFI_STATUS EFIAPI AcpiTimerLibConstructor(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
