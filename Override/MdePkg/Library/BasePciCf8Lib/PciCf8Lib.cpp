// SPDX-License-Identifier: BSD-2-Clause-Patent
// PCI configuration mechanism 1 on this platform: standard registers
// 0x00-0xFF through CF8/CFC, and extended registers 0x100-0xFFF through
// bits 27:24 of the address port while the node's extended decoding is on.
#include <Base.h>
#include <Library/PciCf8Lib.h>
#include <Library/BaseLib.h>
#include <Library/IoLib.h>
#include <Library/DebugLib.h>

#define PCI_CONFIGURATION_ADDRESS_PORT 0xCF8
#define PCI_CONFIGURATION_DATA_PORT 0xCFC

// Address port enable register of the running node: bus 0, device 0x18 + N,
// function 4, register 0x44.
#define EXTENDED_ENABLE_ADDRESS_BASE 0x8000C444u
#define EXTENDED_ENABLE_NODE_STRIDE 0x800u
#define EXTENDED_ENABLE_ON 0x00000001u

// Register 0x00-0xFF, and for 16-bit accesses a word-aligned one.
// clang-format off
#define ASSERT_INVALID_PCI_ADDRESS(A, M) ASSERT (((A) & (~0xffff0ff | (M))) == 0)
// clang-format on

static UINT32 StandardAddressValue(UINTN Address) {
  return (UINT32)(0x80000000u | ((Address >> 4) & 0x00FFFF00u) | (Address & 0xFCu));
}

static UINT32 ExtendedAddressValue(UINTN Address) {
  return (UINT32)(0x80000000u | ((Address & 0x00FFF000u) >> 4) | ((Address & 0xF00u) << 16) |
                  (Address & 0xFCu));
}

// One configuration access proper: interrupts off from before the address
// port is saved until after it is put back.
typedef enum { Read8, Write8, Or8, Read16, Write16, Or16, And16, Read32, Write32 } CF8_OPERATION;

static UINT32 Cf8Access(UINT32 AddressValue, UINTN Address, CF8_OPERATION Operation, UINT32 Value) {
  BOOLEAN InterruptState = SaveAndDisableInterrupts();
  UINT32 Saved = IoRead32(PCI_CONFIGURATION_ADDRESS_PORT);
  IoWrite32(PCI_CONFIGURATION_ADDRESS_PORT, AddressValue);
  UINTN Data8 = PCI_CONFIGURATION_DATA_PORT + (UINT16)(Address & 3);
  UINTN Data16 = PCI_CONFIGURATION_DATA_PORT + (UINT16)(Address & 2);
  UINT32 Result = 0;
  switch (Operation) {
  case Read8:
    Result = IoRead8(Data8);
    break;
  case Write8:
    Result = IoWrite8(Data8, (UINT8)Value);
    break;
  case Or8:
    Result = IoWrite8(Data8, (UINT8)(IoRead8(Data8) | Value));
    break;
  case Read16:
    Result = IoRead16(Data16);
    break;
  case Write16:
    Result = IoWrite16(Data16, (UINT16)Value);
    break;
  case Or16:
    Result = IoWrite16(Data16, (UINT16)(IoRead16(Data16) | Value));
    break;
  case And16:
    Result = IoWrite16(Data16, (UINT16)(IoRead16(Data16) & Value));
    break;
  case Read32:
    Result = IoRead32(PCI_CONFIGURATION_DATA_PORT);
    break;
  case Write32:
    Result = IoWrite32(PCI_CONFIGURATION_DATA_PORT, Value);
    break;
  }
  IoWrite32(PCI_CONFIGURATION_ADDRESS_PORT, Saved);
  SetInterruptState(InterruptState);
  return Result;
}

static UINT32 Cf8Access32(UINTN Address, CF8_OPERATION Operation, UINT32 Value) {
  if ((Address & 0xF00) == 0) {
    return Cf8Access(StandardAddressValue(Address), Address, Operation, Value);
  }
  UINT32 AddressValue = ExtendedAddressValue(Address);
  // The node can change between calls: nothing is cached.
  UINT32 Ebx = 0;
  AsmCpuid(1, nullptr, &Ebx, nullptr, nullptr);
  UINT32 EnableAddress = EXTENDED_ENABLE_ADDRESS_BASE + ((Ebx >> 28) & 7) * EXTENDED_ENABLE_NODE_STRIDE;
  IoWrite32(PCI_CONFIGURATION_ADDRESS_PORT, EnableAddress);
  UINT32 SavedEnable = IoRead32(PCI_CONFIGURATION_DATA_PORT);
  IoWrite32(PCI_CONFIGURATION_DATA_PORT, EXTENDED_ENABLE_ON);
  UINT32 Result = Cf8Access(AddressValue, Address, Operation, Value);
  IoWrite32(PCI_CONFIGURATION_ADDRESS_PORT, EnableAddress);
  IoWrite32(PCI_CONFIGURATION_DATA_PORT, SavedEnable);
  return Result;
}

UINT8 EFIAPI PciCf8Read8(IN UINTN Address) {
  ASSERT_INVALID_PCI_ADDRESS(Address, 0);
  return (UINT8)Cf8Access(StandardAddressValue(Address), Address, Read8, 0);
}
UINT8 EFIAPI PciCf8Write8(IN UINTN Address, IN UINT8 Value) {
  ASSERT_INVALID_PCI_ADDRESS(Address, 0);
  return (UINT8)Cf8Access(StandardAddressValue(Address), Address, Write8, Value);
}
UINT8 EFIAPI PciCf8Or8(IN UINTN Address, IN UINT8 OrData) {
  ASSERT_INVALID_PCI_ADDRESS(Address, 0);
  return (UINT8)Cf8Access(StandardAddressValue(Address), Address, Or8, OrData);
}
UINT16 EFIAPI PciCf8Read16(IN UINTN Address) {
  ASSERT_INVALID_PCI_ADDRESS(Address, 1);
  return (UINT16)Cf8Access(StandardAddressValue(Address), Address, Read16, 0);
}
UINT16 EFIAPI PciCf8Write16(IN UINTN Address, IN UINT16 Value) {
  ASSERT_INVALID_PCI_ADDRESS(Address, 1);
  return (UINT16)Cf8Access(StandardAddressValue(Address), Address, Write16, Value);
}
UINT16 EFIAPI PciCf8Or16(IN UINTN Address, IN UINT16 OrData) {
  ASSERT_INVALID_PCI_ADDRESS(Address, 1);
  return (UINT16)Cf8Access(StandardAddressValue(Address), Address, Or16, OrData);
}
UINT16 EFIAPI PciCf8And16(IN UINTN Address, IN UINT16 AndData) {
  ASSERT_INVALID_PCI_ADDRESS(Address, 1);
  return (UINT16)Cf8Access(StandardAddressValue(Address), Address, And16, AndData);
}
UINT32 EFIAPI PciCf8Read32(IN UINTN Address) {
  return Cf8Access32(Address, Read32, 0);
}
UINT32 EFIAPI PciCf8Write32(IN UINTN Address, IN UINT32 Value) {
  return Cf8Access32(Address, Write32, Value);
}
