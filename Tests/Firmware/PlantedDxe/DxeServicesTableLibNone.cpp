// SPDX-License-Identifier: BSD-2-Clause-Patent
// A DXE services table library instance that never finds the table: linked
// into a second build of the driver, it is a change of behaviour the tests
// plant so that a comparison of two builds has something to name.
#include <Library/DxeServicesTableLib.h>

EFI_DXE_SERVICES *gDS = nullptr;

EFI_STATUS EFIAPI DxeServicesTableLibConstructor(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
  return EFI_SUCCESS;
}
