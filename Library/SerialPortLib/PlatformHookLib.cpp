// SPDX-License-Identifier: BSD-2-Clause-Patent
// The board's Super I/O decodes the two console UARTs only once their
// logical devices are set up: device 3 at 0x3F8 on IRQ 4, device 2 at 0x2F8
// on IRQ 3. Its index/data pair is used directly; this Super I/O needs no
// configuration-mode entry or exit sequence.
#include <Base.h>
#include <Library/PlatformHookLib.h>
#include <Library/IoLib.h>

#define SIO_INDEX_PORT 0x4E
#define SIO_DATA_PORT 0x4F
#define SIO_LOGICAL_DEVICE 0x07
#define SIO_ACTIVATE 0x30
#define SIO_ACTIVE 0x01

typedef struct {
  UINT8 Index;
  UINT8 Value;
} SIO_REGISTER_WRITE;

// clang-format off
static CONST SIO_REGISTER_WRITE SuperIoUartTable[] = {
    {0x07, 0x03}, // logical device 3
    {0x60, 0x03}, // I/O base high
    {0x61, 0xF8}, // I/O base low: 0x3F8
    {0x70, 0x04}, // IRQ 4
    {0x30, 0x01}, // activate
    {0x07, 0x02}, // logical device 2
    {0x60, 0x02}, // I/O base high
    {0x61, 0xF8}, // I/O base low: 0x2F8
    {0x70, 0x03}, // IRQ 3
    {0x30, 0x01}, // activate
};
// clang-format on

static UINT8 LogicalDeviceActivation(IN UINT8 LogicalDevice) {
  IoWrite8(SIO_INDEX_PORT, SIO_LOGICAL_DEVICE);
  IoWrite8(SIO_DATA_PORT, LogicalDevice);
  IoWrite8(SIO_INDEX_PORT, SIO_ACTIVATE);
  return IoRead8(SIO_DATA_PORT);
}

RETURN_STATUS EFIAPI PlatformHookSerialPortInitialize(VOID) {
  UINT8 Uart3F8 = LogicalDeviceActivation(0x03);
  UINT8 Uart2F8 = LogicalDeviceActivation(0x02);
  // Either one active: an earlier phase has set the Super I/O up already.
  if (Uart3F8 == SIO_ACTIVE || Uart2F8 == SIO_ACTIVE) {
    return RETURN_SUCCESS;
  }
  for (UINTN Index = 0; Index < ARRAY_SIZE(SuperIoUartTable); Index++) {
    IoWrite8(SIO_INDEX_PORT, SuperIoUartTable[Index].Index);
    IoWrite8(SIO_DATA_PORT, SuperIoUartTable[Index].Value);
  }
  return RETURN_SUCCESS;
}
