// SPDX-License-Identifier: BSD-2-Clause-Patent
// PCI configuration access; the instance decides the mechanism.
#pragma once
#include <Base.h>

#define PCI_LIB_ADDRESS(Bus, Device, Function, Register)                                                     \
  ((((UINTN)(Bus)) << 20) | (((UINTN)(Device)) << 15) | (((UINTN)(Function)) << 12) | ((UINTN)(Register)))

UINT8 EFIAPI PciRead8(IN UINTN Address);
UINT8 EFIAPI PciWrite8(IN UINTN Address, IN UINT8 Value);
UINT8 EFIAPI PciOr8(IN UINTN Address, IN UINT8 OrData);
UINT16 EFIAPI PciRead16(IN UINTN Address);
UINT16 EFIAPI PciWrite16(IN UINTN Address, IN UINT16 Value);
UINT16 EFIAPI PciOr16(IN UINTN Address, IN UINT16 OrData);
UINT16 EFIAPI PciAnd16(IN UINTN Address, IN UINT16 AndData);
UINT32 EFIAPI PciRead32(IN UINTN Address);
UINT32 EFIAPI PciWrite32(IN UINTN Address, IN UINT32 Value);
