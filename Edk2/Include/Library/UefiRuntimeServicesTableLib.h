// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once
#include <Uefi.h>

extern EFI_RUNTIME_SERVICES *gRT;

EFI_STATUS EFIAPI UefiRuntimeServicesTableLibConstructor(IN EFI_HANDLE ImageHandle,
                                                         IN EFI_SYSTEM_TABLE *SystemTable);
