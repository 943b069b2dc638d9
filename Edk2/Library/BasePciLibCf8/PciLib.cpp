// SPDX-License-Identifier: BSD-2-Clause-Patent
// The PCI front over the CF8/CFC library: each operation forwards unchanged.
#include <Library/PciLib.h>
#include <Library/PciCf8Lib.h>

UINT8 EFIAPI PciRead8(IN UINTN Address) {
  return PciCf8Read8(Address);
}
UINT8 EFIAPI PciWrite8(IN UINTN Address, IN UINT8 Value) {
  return PciCf8Write8(Address, Value);
}
UINT8 EFIAPI PciOr8(IN UINTN Address, IN UINT8 OrData) {
  return PciCf8Or8(Address, OrData);
}
UINT16 EFIAPI PciRead16(IN UINTN Address) {
  return PciCf8Read16(Address);
}
UINT16 EFIAPI PciWrite16(IN UINTN Address, IN UINT16 Value) {
  return PciCf8Write16(Address, Value);
}
UINT16 EFIAPI PciOr16(IN UINTN Address, IN UINT16 OrData) {
  return PciCf8Or16(Address, OrData);
}
UINT16 EFIAPI PciAnd16(IN UINTN Address, IN UINT16 AndData) {
  return PciCf8And16(Address, AndData);
}
UINT32 EFIAPI PciRead32(IN UINTN Address) {
  return PciCf8Read32(Address);
}
UINT32 EFIAPI PciWrite32(IN UINTN Address, IN UINT32 Value) {
  return PciCf8Write32(Address, Value);
}
