// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <Library/IoLib.h>
#include <Library/DebugLib.h>
#include <HwAccessLib.h>

UINT8 EFIAPI IoRead8(IN UINTN Port) {
  return (UINT8)HwIoRead((UINT16)Port, 1);
}
UINT8 EFIAPI IoWrite8(IN UINTN Port, IN UINT8 Value) {
  HwIoWrite((UINT16)Port, 1, Value);
  return Value;
}

UINT16 EFIAPI IoRead16(IN UINTN Port) {
  ASSERT((Port & 1) == 0);
  return (UINT16)HwIoRead((UINT16)Port, 2);
}
UINT16 EFIAPI IoWrite16(IN UINTN Port, IN UINT16 Value) {
  ASSERT((Port & 1) == 0);
  HwIoWrite((UINT16)Port, 2, Value);
  return Value;
}

UINT32 EFIAPI IoRead32(IN UINTN Port) {
  ASSERT((Port & 3) == 0);
  return HwIoRead((UINT16)Port, 4);
}
UINT32 EFIAPI IoWrite32(IN UINTN Port, IN UINT32 Value) {
  ASSERT((Port & 3) == 0);
  HwIoWrite((UINT16)Port, 4, Value);
  return Value;
}

UINT8 EFIAPI MmioRead8(IN UINTN Address) {
  return (UINT8)HwMmioRead(Address, 1);
}
UINT8 EFIAPI MmioWrite8(IN UINTN Address, IN UINT8 Value) {
  HwMmioWrite(Address, 1, Value);
  return Value;
}

UINT16 EFIAPI MmioRead16(IN UINTN Address) {
  ASSERT((Address & 1) == 0);
  return (UINT16)HwMmioRead(Address, 2);
}
UINT16 EFIAPI MmioWrite16(IN UINTN Address, IN UINT16 Value) {
  ASSERT((Address & 1) == 0);
  HwMmioWrite(Address, 2, Value);
  return Value;
}

UINT32 EFIAPI MmioRead32(IN UINTN Address) {
  ASSERT((Address & 3) == 0);
  return (UINT32)HwMmioRead(Address, 4);
}
UINT32 EFIAPI MmioWrite32(IN UINTN Address, IN UINT32 Value) {
  ASSERT((Address & 3) == 0);
  HwMmioWrite(Address, 4, Value);
  return Value;
}

UINT64 EFIAPI MmioRead64(IN UINTN Address) {
  ASSERT((Address & 7) == 0);
  return HwMmioRead(Address, 8);
}
UINT64 EFIAPI MmioWrite64(IN UINTN Address, IN UINT64 Value) {
  ASSERT((Address & 7) == 0);
  HwMmioWrite(Address, 8, Value);
  return Value;
}

UINT8 EFIAPI MmioOr8(IN UINTN Address, IN UINT8 OrData) {
  return MmioWrite8(Address, (UINT8)(MmioRead8(Address) | OrData));
}
