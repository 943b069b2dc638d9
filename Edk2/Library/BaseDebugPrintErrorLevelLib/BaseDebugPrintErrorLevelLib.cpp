// The simplest error-level instance: the level is the platform's
// PcdDebugPrintErrorLevel. It is read straight from the PCD protocol, not
// through PcdLib, whose failure reports would print and so recurse here.
// Before the boot-services table is known nothing leveled is printed.
#include <Uefi.h>
#include <Protocol/Pcd.h>
#include <Library/DebugPrintErrorLevelLib.h>
#include <Library/UefiBootServicesTableLib.h>

extern const UINTN _PCD_TOKEN_PcdDebugPrintErrorLevel;

UINT32 EFIAPI GetDebugPrintErrorLevel(VOID) {
  PCD_PROTOCOL *Pcd = nullptr;
  if (gBS == nullptr) {
    return 0;
  }
  if (EFI_ERROR(gBS->LocateProtocol(&gPcdProtocolGuid, nullptr, (VOID **)&Pcd)) || Pcd == nullptr) {
    return 0;
  }
  return Pcd->Get32(_PCD_TOKEN_PcdDebugPrintErrorLevel);
}

BOOLEAN EFIAPI SetDebugPrintErrorLevel(IN UINT32 ErrorLevel) {
  (VOID) ErrorLevel;
  return FALSE;
}
