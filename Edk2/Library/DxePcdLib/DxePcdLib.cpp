// SPDX-License-Identifier: BSD-2-Clause-Patent
// PCD access over the PCD protocol. The protocol is located on first use:
// no constructor of this library takes a slot in the module's list.
#include <Uefi.h>
#include <Protocol/Pcd.h>
#include <Library/PcdLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/DebugLib.h>

static PCD_PROTOCOL *mPcd = nullptr;

static PCD_PROTOCOL *GetPcdProtocol(VOID) {
  if (mPcd == nullptr) {
    EFI_STATUS Status = gBS->LocateProtocol(&gPcdProtocolGuid, nullptr, (VOID **)&mPcd);
    ASSERT_EFI_ERROR(Status);
    ASSERT(mPcd != NULL);
  }
  return mPcd;
}

// A missing PCD database reads as zero and refuses writes.
UINT8 EFIAPI LibPcdGet8(IN UINTN TokenNumber) {
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  return Pcd == nullptr ? 0 : Pcd->Get8(TokenNumber);
}
UINT16 EFIAPI LibPcdGet16(IN UINTN TokenNumber) {
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  return Pcd == nullptr ? 0 : Pcd->Get16(TokenNumber);
}
UINT32 EFIAPI LibPcdGet32(IN UINTN TokenNumber) {
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  return Pcd == nullptr ? 0 : Pcd->Get32(TokenNumber);
}
UINT64 EFIAPI LibPcdGet64(IN UINTN TokenNumber) {
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  return Pcd == nullptr ? 0 : Pcd->Get64(TokenNumber);
}
RETURN_STATUS EFIAPI LibPcdSet8S(IN UINTN TokenNumber, IN UINT8 Value) {
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  return Pcd == nullptr ? RETURN_NOT_FOUND : Pcd->Set8(TokenNumber, Value);
}
RETURN_STATUS EFIAPI LibPcdSet16S(IN UINTN TokenNumber, IN UINT16 Value) {
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  return Pcd == nullptr ? RETURN_NOT_FOUND : Pcd->Set16(TokenNumber, Value);
}
RETURN_STATUS EFIAPI LibPcdSet32S(IN UINTN TokenNumber, IN UINT32 Value) {
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  return Pcd == nullptr ? RETURN_NOT_FOUND : Pcd->Set32(TokenNumber, Value);
}
RETURN_STATUS EFIAPI LibPcdSet64S(IN UINTN TokenNumber, IN UINT64 Value) {
  PCD_PROTOCOL *Pcd = GetPcdProtocol();
  return Pcd == nullptr ? RETURN_NOT_FOUND : Pcd->Set64(TokenNumber, Value);
}
