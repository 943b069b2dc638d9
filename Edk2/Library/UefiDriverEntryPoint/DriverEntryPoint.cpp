// SPDX-License-Identifier: BSD-2-Clause-Patent
// Module entry of a boot-service driver: library constructors, then the
// driver entry, then the library destructors if the entry failed.
#include <Uefi.h>
#include <Protocol/LoadedImage.h>
#include <Library/UefiDriverEntryPoint.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/DebugLib.h>

static EFI_STATUS EFIAPI DriverUnloadHandler(EFI_HANDLE ImageHandle) {
  EFI_STATUS Status = ProcessModuleUnloadList(ImageHandle);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  ProcessLibraryDestructorList(ImageHandle, gST);
  return EFI_SUCCESS;
}

IMAGE_EXPORT EFI_STATUS EFIAPI _ModuleEntryPoint(IN EFI_HANDLE ImageHandle,
                                                 IN EFI_SYSTEM_TABLE *SystemTable) {
  if (_gUefiDriverRevision != 0) {
    if (SystemTable->Hdr.Revision < _gUefiDriverRevision) {
      return EFI_INCOMPATIBLE_VERSION;
    }
  }

  ProcessLibraryConstructorList(ImageHandle, SystemTable);

  if (_gDriverUnloadImageCount != 0) {
    EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = nullptr;
    EFI_STATUS Status = gBS->HandleProtocol(ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&LoadedImage);
    ASSERT_EFI_ERROR(Status);
    if (!EFI_ERROR(Status) && LoadedImage != nullptr) {
      LoadedImage->Unload = DriverUnloadHandler;
    }
  }

  EFI_STATUS Status = ProcessModuleEntryPointList(ImageHandle, SystemTable);
  if (EFI_ERROR(Status)) {
    ProcessLibraryDestructorList(ImageHandle, SystemTable);
  }
  return Status;
}
