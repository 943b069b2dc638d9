// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <Uefi.h>
#include <Library/UefiDriverEntryPoint.h>
#include <Library/ErrorLevelLib.h>
#include <Library/DebugLib.h>
#include "ErrorLevelProbe.h"

const UINT32 _gUefiDriverRevision = 0x00000000;
const UINT8 _gDriverUnloadImageCount = 0;

extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPciBarRegisterOffset = 0x0000;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddress = 0x0400;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddressMask = 0xFFFE;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiPm1TmrOffset = 0x0008;

static VOID EFIAPI ProbePrint(IN UINTN Level, IN CONST CHAR8 *Text) {
  DEBUG((Level, "%a", Text));
}

static ERROR_LEVEL_PROBE_PROTOCOL mProbe = {DebugPrintErrorLevelConstructor, DebugPrintErrorLevelDestructor,
                                            GetDebugPrintErrorLevel, ProbePrint, SetDebugPrintErrorLevel};

// No constructors: the test runs the error-level constructor itself.
VOID EFIAPI ProcessLibraryConstructorList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
}

VOID EFIAPI ProcessLibraryDestructorList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
}

EFI_STATUS EFIAPI ProcessModuleEntryPointList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  return SystemTable->BootServices->InstallMultipleProtocolInterfaces(
      &ImageHandle, &gErrorLevelProbeProtocolGuid, &mProbe, (VOID *)nullptr);
}

EFI_STATUS EFIAPI ProcessModuleUnloadList(IN EFI_HANDLE ImageHandle) {
  (VOID) ImageHandle;
  return EFI_SUCCESS;
}
