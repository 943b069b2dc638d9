// The simplest console: bytes go to the transmit holding register of the
// UART at 0x3F8 as the previous boot phase left it set up.
#include <Uefi.h>
#include <Library/SerialPortLib.h>
#include <Library/IoLib.h>

#define SERIAL_BASE 0x3F8
#define SERIAL_LSR 5
#define SERIAL_LSR_THRE 0x20

RETURN_STATUS EFIAPI SerialPortInitialize(VOID) {
  return RETURN_SUCCESS;
}

UINTN EFIAPI SerialPortWrite(IN UINT8 *Buffer, IN UINTN NumberOfBytes) {
  if (Buffer == nullptr) {
    return 0;
  }
  for (UINTN Index = 0; Index < NumberOfBytes; Index++) {
    while ((IoRead8(SERIAL_BASE + SERIAL_LSR) & SERIAL_LSR_THRE) == 0) {
    }
    IoWrite8(SERIAL_BASE, Buffer[Index]);
  }
  return NumberOfBytes;
}
