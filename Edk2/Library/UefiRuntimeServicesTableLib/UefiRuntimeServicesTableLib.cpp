// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Library/DebugLib.h>

EFI_RUNTIME_SERVICES *gRT = nullptr;

EFI_STATUS EFIAPI UefiRuntimeServicesTableLibConstructor(IN EFI_HANDLE ImageHandle,
                                                         IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  gRT = SystemTable->RuntimeServices;
  ASSERT(gRT != NULL);
  return EFI_SUCCESS;
}
