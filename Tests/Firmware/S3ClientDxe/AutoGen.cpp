// SPDX-License-Identifier: BSD-2-Clause-Patent
// What the build generates for this module: its parameters, its library
// constructor and destructor lists, and its PCD values.
#include <Uefi.h>
#include <Library/UefiDriverEntryPoint.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Library/DebugLib.h>
#include <Library/OrunS3SaveLib.h>
#include <Library/ErrorLevelLib.h>
#include <Library/SerialPortLib.h>
#include "S3ClientDxe.h"

const UINT32 _gUefiDriverRevision = 0x00000000;
const UINT8 _gDriverUnloadImageCount = 0;

extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPciBarRegisterOffset = 0x0000;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddress = 0x0400;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddressMask = 0xFFFE;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiPm1TmrOffset = 0x0008;

const UINTN _PCD_TOKEN_PcdS3SavePrivateData = 214;
const UINTN _PCD_TOKEN_PcdS3SaveCommBuffer = 215;

typedef EFI_STATUS(EFIAPI *S3_CLIENT_LIBRARY_HOOK)(IN EFI_HANDLE ImageHandle,
                                                   IN EFI_SYSTEM_TABLE *SystemTable);

static EFI_STATUS EFIAPI SerialPortLibConstructor(IN EFI_HANDLE ImageHandle,
                                                  IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
  return SerialPortInitialize();
}

// The driver's order: level and console, the table libraries, then
// OrunS3SaveLib, which needs gBS.
static const S3_CLIENT_LIBRARY_HOOK mConstructors[] = {
    DebugPrintErrorLevelConstructor,     SerialPortLibConstructor, UefiRuntimeServicesTableLibConstructor,
    UefiBootServicesTableLibConstructor, OrunS3SaveLibConstructor,
};
static const S3_CLIENT_LIBRARY_HOOK mDestructors[] = {
    OrunS3SaveLibDestructor,
    DebugPrintErrorLevelDestructor,
};

VOID EFIAPI ProcessLibraryConstructorList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  for (UINTN Index = 0; Index < ARRAY_SIZE(mConstructors); Index++) {
    EFI_STATUS Status = mConstructors[Index](ImageHandle, SystemTable);
    ASSERT_EFI_ERROR(Status);
  }
}

VOID EFIAPI ProcessLibraryDestructorList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  for (UINTN Index = 0; Index < ARRAY_SIZE(mDestructors); Index++) {
    EFI_STATUS Status = mDestructors[Index](ImageHandle, SystemTable);
    ASSERT_EFI_ERROR(Status);
  }
}

EFI_STATUS EFIAPI ProcessModuleEntryPointList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  return S3ClientDxeEntryPoint(ImageHandle, SystemTable);
}

EFI_STATUS EFIAPI ProcessModuleUnloadList(IN EFI_HANDLE ImageHandle) {
  (VOID) ImageHandle;
  return EFI_SUCCESS;
}
