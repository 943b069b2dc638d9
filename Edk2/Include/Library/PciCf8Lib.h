// SPDX-License-Identifier: BSD-2-Clause-Patent
// PCI configuration access through the CF8/CFC port pair.
#pragma once
#include <Base.h>

// bus << 20 | device << 15 | function << 12 | register
#define PCI_CF8_LIB_ADDRESS(Bus, Device, Function, Register)                                                 \
  ((((UINTN)(Bus)) << 20) | (((UINTN)(Device)) << 15) | (((UINTN)(Function)) << 12) | ((UINTN)(Register)))

UINT8 EFIAPI PciCf8Read8(IN UINTN Address);
UINT8 EFIAPI PciCf8Write8(IN UINTN Address, IN UINT8 Value);
UINT8 EFIAPI PciCf8Or8(IN UINTN Address, IN UINT8 OrData);
UINT16 EFIAPI PciCf8Read16(IN UINTN Address);
UINT16 EFIAPI PciCf8Write16(IN UINTN Address, IN UINT16 Value);
UINT16 EFIAPI PciCf8Or16(IN UINTN Address, IN UINT16 OrData);
UINT16 EFIAPI PciCf8And16(IN UINTN Address, IN UINT16 AndData);
UINT32 EFIAPI PciCf8Read32(IN UINTN Address);
UINT32 EFIAPI PciCf8Write32(IN UINTN Address, IN UINT32 Value);
