// SPDX-License-Identifier: BSD-2-Clause-Patent
// Module entry of a UEFI driver: constructors, driver entry, destructors.
// The module supplies the three lists (its AutoGen) and the two parameters.
#pragma once
#include <Uefi.h>

extern const UINT32 _gUefiDriverRevision;
extern const UINT8 _gDriverUnloadImageCount;

IMAGE_EXPORT EFI_STATUS EFIAPI _ModuleEntryPoint(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

VOID EFIAPI ProcessLibraryConstructorList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
VOID EFIAPI ProcessLibraryDestructorList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI ProcessModuleEntryPointList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI ProcessModuleUnloadList(IN EFI_HANDLE ImageHandle);
