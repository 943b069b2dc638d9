// SPDX-License-Identifier: BSD-2-Clause-Patent
// The console instance of the harness: what the firmware writes is kept in
// harness::console().
#include "FirmwareHarness.h"

#include <Library/SerialPortLib.h>

UINTN EFIAPI SerialPortWrite(IN UINT8 *Buffer, IN UINTN NumberOfBytes) {
  if (Buffer == nullptr) {
    return 0;
  }
  harness::console().append(reinterpret_cast<const char *>(Buffer), NumberOfBytes);
  return NumberOfBytes;
}

RETURN_STATUS EFIAPI SerialPortInitialize(VOID) {
  return RETURN_SUCCESS;
}
