// SPDX-License-Identifier: BSD-2-Clause-Patent
// The fixture module's build-generated parts.
#include <PiDxe.h>
#include <Library/UefiDriverEntryPoint.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Library/DxeServicesTableLib.h>

const UINT32 _gUefiDriverRevision = 0x00000000;
const UINT8 _gDriverUnloadImageCount = 0;

EFI_STATUS EFIAPI OvmfFixtureEntryPoint(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

VOID EFIAPI ProcessLibraryConstructorList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  UefiRuntimeServicesTableLibConstructor(ImageHandle, SystemTable);
  UefiBootServicesTableLibConstructor(ImageHandle, SystemTable);
  DxeServicesTableLibConstructor(ImageHandle, SystemTable);
}

VOID EFIAPI ProcessLibraryDestructorList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
}

EFI_STATUS EFIAPI ProcessModuleEntryPointList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  return OvmfFixtureEntryPoint(ImageHandle, SystemTable);
}

EFI_STATUS EFIAPI ProcessModuleUnloadList(IN EFI_HANDLE ImageHandle) {
  (VOID) ImageHandle;
  return EFI_SUCCESS;
}
