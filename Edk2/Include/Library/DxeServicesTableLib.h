// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once
#include <PiDxe.h>

extern EFI_DXE_SERVICES *gDS;

EFI_STATUS EFIAPI DxeServicesTableLibConstructor(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
