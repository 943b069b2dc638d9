// SPDX-License-Identifier: BSD-2-Clause-Patent
// A DXE services table library instance that hands out a stale table
// pointer, as one would that kept the table's address across its move:
// linked into a second build of the driver, it is a change of behaviour the
// tests plant so that a comparison of two builds has something to name. The
// pointer is not null, so the driver's first use of it is a plain page
// fault; a null one would be undefined behaviour that the sanitizer builds
// stop the whole tool on.
#include <Library/DxeServicesTableLib.h>

EFI_DXE_SERVICES *gDS = nullptr;

EFI_STATUS EFIAPI DxeServicesTableLibConstructor(IN EFI_HANDLE ImageHandle,
                                                 IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
  // The first page is never mapped on the host.
  gDS = reinterpret_cast<EFI_DXE_SERVICES *>(static_cast<UINTN>(0x100));
  return EFI_SUCCESS;
}
