// SPDX-License-Identifier: BSD-2-Clause-Patent
// This platform's console: every byte goes to the 16550 UARTs at 0x3F8 and
// 0x2F8, behind the board's Super I/O, at the speed CMOS selects.
#pragma once
#include <Base.h>
#include <Library/SerialPortLib.h>
#include <Library/PlatformHookLib.h>

// Registers of a 16550, as offsets from its base.
#define R_UART_THR 0
#define R_UART_DLL 0
#define R_UART_DLM 1
#define R_UART_IIR 2
#define R_UART_FCR 2
#define R_UART_LCR 3
#define R_UART_MCR 4
#define R_UART_LSR 5

#define B_UART_IIR_FIFOS 0xC0
#define B_UART_LCR_DLAB 0x80
#define B_UART_LSR_TXRDY 0x20
#define B_UART_LSR_TEMT 0x40

UINTN EFIAPI GetSerialRegisterBase(VOID);
BOOLEAN EFIAPI SerialPortWritable(IN UINTN SerialRegisterBase);
UINT8 EFIAPI SerialPortReadRegister(IN UINTN Base, IN UINTN Offset);
UINT8 EFIAPI SerialPortWriteRegister(IN UINTN Base, IN UINTN Offset, IN UINT8 Value);
