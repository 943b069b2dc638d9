// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <Library/DxeServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/DebugLib.h>
#include <Guid/DxeServices.h>

EFI_DXE_SERVICES *gDS = nullptr;

EFI_STATUS EFIAPI DxeServicesTableLibConstructor(IN EFI_HANDLE ImageHandle,
                                                 IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
  EFI_STATUS Status = EfiGetSystemConfigurationTable(&gEfiDxeServicesTableGuid, (VOID **)&gDS);
  ASSERT_EFI_ERROR(Status);
  ASSERT(gDS != NULL);
  return Status;
}
