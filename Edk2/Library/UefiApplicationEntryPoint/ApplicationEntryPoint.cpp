// SPDX-License-Identifier: BSD-2-Clause-Patent
// Module entry of an application: it ends when its entry returns, so its
// libraries are always torn down.
#include <Library/UefiApplicationEntryPoint.h>

IMAGE_EXPORT EFI_STATUS EFIAPI _ModuleEntryPoint(IN EFI_HANDLE ImageHandle,
                                                 IN EFI_SYSTEM_TABLE *SystemTable) {
  ProcessLibraryConstructorList(ImageHandle, SystemTable);
  EFI_STATUS Status = ProcessModuleEntryPointList(ImageHandle, SystemTable);
  ProcessLibraryDestructorList(ImageHandle, SystemTable);
  return Status;
}
