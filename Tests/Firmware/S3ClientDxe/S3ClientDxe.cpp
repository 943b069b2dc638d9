// SPDX-License-Identifier: BSD-2-Clause-Patent
// Programs a few configuration registers through CF8/CFC and records each
// write for S3 replay, as a module's capture path would.
#include <Uefi.h>
#include <Library/DebugLib.h>
#include <Library/OrunS3SaveLib.h>
#include <Library/PciLib.h>
#include <Library/IoLib.h>
#include "S3ClientDxe.h"

// One register of each width, and a second function to tell bus, device
// and function apart in the replayed addresses.
const S3_CLIENT_WRITE gS3ClientWrites[] = {
    {1, 0, 0, 0x40, 1, 0x5A},       {1, 0, 0, 0x46, 2, 0xBEEF},
    {1, 0, 0, 0x48, 3, 0x12345678}, {1, 0, 0, 0x50, 4, 0x0123456789ABCDEFULL},
    {2, 3, 1, 0x10, 3, 0xC0DE0001},
};
const UINTN gS3ClientWriteCount = ARRAY_SIZE(gS3ClientWrites);

static VOID ProgramRegister(UINTN Address, UINT32 Width, UINT64 Value) {
  switch (Width) {
  case 1:
    PciWrite8(Address, (UINT8)Value);
    break;
  case 2:
    PciWrite16(Address, (UINT16)Value);
    break;
  case 3:
    PciWrite32(Address, (UINT32)Value);
    break;
  default:
    // Configuration mechanism 1 has no 64-bit cycle: two dwords.
    PciWrite32(Address, (UINT32)Value);
    PciWrite32(Address + 4, (UINT32)(Value >> 32));
    break;
  }
}

EFI_STATUS EFIAPI S3ClientDxeEntryPoint(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
  for (UINTN Index = 0; Index < gS3ClientWriteCount; Index++) {
    const S3_CLIENT_WRITE *Write = &gS3ClientWrites[Index];
    UINTN Address = PCI_LIB_ADDRESS(Write->Bus, Write->Device, Write->Function, Write->Register);
    UINT64 Value = Write->Value;
    ProgramRegister(Address, Write->Width, Value);
    UINT32 Status = S3SavePciWrite(Write->Width, Address, &Value);
    DEBUG((DEBUG_INFO, "S3ClientDxe: S3SavePciWrite (%d, 0x%08x) = %d\n", Write->Width, (UINT32)Address,
           Status));
  }
  // And one memory-mapped register, which needs no configuration window.
  UINT32 Scratch = S3_CLIENT_MMIO_VALUE;
  MmioWrite32(S3_CLIENT_MMIO_REGISTER, Scratch);
  UINT32 Status = S3SaveMemWrite(3, S3_CLIENT_MMIO_REGISTER, &Scratch);
  DEBUG((DEBUG_INFO, "S3ClientDxe: S3SaveMemWrite (3, 0x%08x) = %d\n", (UINT32)S3_CLIENT_MMIO_REGISTER,
         Status));
  return EFI_SUCCESS;
}
