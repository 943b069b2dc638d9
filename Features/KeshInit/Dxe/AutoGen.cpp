// SPDX-License-Identifier: BSD-2-Clause-Patent
// What the build generates for this module: its parameters, the library
// constructor and destructor lists in their fixed order, and its PCD values.
#include <PiDxe.h>
#include <Library/UefiDriverEntryPoint.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Library/DxeServicesTableLib.h>
#include <Library/TimerLib.h>
#include <Library/SerialPortLib.h>
#include <Library/ErrorLevelLib.h>
#include <Library/DebugLib.h>
#include <Library/OrunS3SaveLib.h>
#include "AutoGen.h"
#include "KeshInit.h"

const UINT32 _gUefiDriverRevision = 0x00000000;
const UINT8 _gDriverUnloadImageCount = 0;

const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPciBarRegisterOffset = 0x0000;
const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddress = 0x0400;
const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddressMask = 0xFFFE;
const UINT16 _gPcd_FixedAtBuild_PcdAcpiPm1TmrOffset = 0x0008;

const UINTN _PCD_TOKEN_PcdS3SavePrivateData = 214;
const UINTN _PCD_TOKEN_PcdS3SaveCommBuffer = 215;

// The console's constructor takes no arguments.
static EFI_STATUS EFIAPI SerialPortLibConstructor(IN EFI_HANDLE ImageHandle,
                                                  IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
  return SerialPortInitialize();
}

const KESH_LIBRARY_HOOK gKeshLibraryConstructors[] = {
    {"DebugPrintErrorLevelLib", DebugPrintErrorLevelConstructor},
    {"SerialPortLib", SerialPortLibConstructor},
    {"UefiRuntimeServicesTableLib", UefiRuntimeServicesTableLibConstructor},
    {"UefiBootServicesTableLib", UefiBootServicesTableLibConstructor},
    {"OrunS3SaveLib", OrunS3SaveLibConstructor},
    {"AcpiTimerLib", AcpiTimerLibConstructor},
    {"DxeServicesTableLib", DxeServicesTableLibConstructor},
};
const UINTN gKeshLibraryConstructorCount = ARRAY_SIZE(gKeshLibraryConstructors);

const KESH_LIBRARY_HOOK gKeshLibraryDestructors[] = {
    {"OrunS3SaveLib", OrunS3SaveLibDestructor},
    {"DebugPrintErrorLevelLib", DebugPrintErrorLevelDestructor},
};
const UINTN gKeshLibraryDestructorCount = ARRAY_SIZE(gKeshLibraryDestructors);

// Each library's status is reported and the sequence goes on.
VOID EFIAPI ProcessLibraryConstructorList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  for (UINTN Index = 0; Index < gKeshLibraryConstructorCount; Index++) {
    EFI_STATUS Status = gKeshLibraryConstructors[Index].Function(ImageHandle, SystemTable);
    ASSERT_EFI_ERROR(Status);
  }
}

VOID EFIAPI ProcessLibraryDestructorList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  for (UINTN Index = 0; Index < gKeshLibraryDestructorCount; Index++) {
    EFI_STATUS Status = gKeshLibraryDestructors[Index].Function(ImageHandle, SystemTable);
    ASSERT_EFI_ERROR(Status);
  }
}

EFI_STATUS EFIAPI ProcessModuleEntryPointList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  return KeshInitEntryPoint(ImageHandle, SystemTable);
}

EFI_STATUS EFIAPI ProcessModuleUnloadList(IN EFI_HANDLE ImageHandle) {
  (VOID) ImageHandle;
  return EFI_SUCCESS;
}
