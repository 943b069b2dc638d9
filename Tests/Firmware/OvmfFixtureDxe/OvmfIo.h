// SPDX-License-Identifier: BSD-2-Clause-Patent
// What the fixture and the phase application share under QEMU: reading
// fw_cfg files, writing record lines to the debug console, and marking the
// stretches of the UARTs that belong to the boot's steps.
#pragma once
#include <Uefi.h>
#include <Library/IoLib.h>
#include <Library/PrintLib.h>
#include "FixtureConfig.h"

#define FW_CFG_SELECTOR 0x510
#define FW_CFG_DATA 0x511
#define FW_CFG_FILE_DIR 0x19

static inline UINT32 FwCfgReadBigEndian(UINTN Bytes) {
  UINT32 Value = 0;
  for (UINTN Index = 0; Index < Bytes; Index++) {
    Value = (Value << 8) | IoRead8(FW_CFG_DATA);
  }
  return Value;
}

// The size of the named fw_cfg file and its selector; 0 when QEMU was not
// given it.
static inline UINT32 FwCfgFind(CONST CHAR8 *Name, UINT16 *Select) {
  IoWrite16(FW_CFG_SELECTOR, FW_CFG_FILE_DIR);
  UINT32 Count = FwCfgReadBigEndian(4);
  UINT32 Found = 0;
  for (UINT32 Entry = 0; Entry < Count; Entry++) {
    UINT32 Size = FwCfgReadBigEndian(4);
    UINT16 Selector = (UINT16)FwCfgReadBigEndian(2);
    FwCfgReadBigEndian(2);
    CHAR8 FileName[56];
    for (UINTN Index = 0; Index < sizeof(FileName); Index++) {
      FileName[Index] = (CHAR8)IoRead8(FW_CFG_DATA);
    }
    FileName[sizeof(FileName) - 1] = '\0';
    UINTN Index = 0;
    while (Name[Index] != '\0' && Name[Index] == FileName[Index]) {
      Index++;
    }
    if (Found == 0 && Name[Index] == '\0' && FileName[Index] == '\0') {
      *Select = Selector;
      Found = Size;
    }
  }
  return Found;
}

static inline VOID FwCfgRead(UINT16 Select, VOID *Buffer, UINTN Size) {
  IoWrite16(FW_CFG_SELECTOR, Select);
  UINT8 *Bytes = (UINT8 *)Buffer;
  for (UINTN Index = 0; Index < Size; Index++) {
    Bytes[Index] = IoRead8(FW_CFG_DATA);
  }
}

static inline VOID RecordWrite(CONST CHAR8 *Text) {
  for (; *Text != '\0'; Text++) {
    IoWrite8(KESH_OVMF_RECORD_PORT, (UINT8)*Text);
  }
}

// Text inside a record line: backslash escapes for anything not printable,
// so one line stays one line.
static inline VOID RecordEscaped(CONST CHAR8 *Text) {
  static CONST CHAR8 Hex[] = "0123456789abcdef";
  for (; *Text != '\0'; Text++) {
    UINT8 Byte = (UINT8)*Text;
    if (Byte == '\\') {
      RecordWrite("\\\\");
    } else if (Byte == '\n') {
      RecordWrite("\\n");
    } else if (Byte == '\r') {
      RecordWrite("\\r");
    } else if (Byte < 0x20 || Byte >= 0x7F) {
      CHAR8 Escape[5] = {'\\', 'x', Hex[Byte >> 4], Hex[Byte & 0xF], '\0'};
      RecordWrite(Escape);
    } else {
      CHAR8 One[2] = {(CHAR8)Byte, '\0'};
      RecordWrite(One);
    }
  }
}

// Record lines are formatted by the print library, like the driver's own.
static inline VOID EFIAPI RecordLine(CONST CHAR8 *Format, ...) {
  CHAR8 Buffer[320];
  VA_LIST Marker;
  VA_START(Marker, Format);
  AsciiVSPrint(Buffer, sizeof(Buffer), Format, Marker);
  VA_END(Marker);
  RecordWrite(Buffer);
  RecordWrite("\n");
}

// Brackets each step on both UARTs. STX and ETX never occur in what the
// driver prints or in the shell's terminal output.
#define KESH_OVMF_STEP_OPEN "\x02KESH{\x03"
#define KESH_OVMF_STEP_CLOSE "\x02KESH}\x03"

static inline VOID UartMark(CONST CHAR8 *Marker) {
  static CONST UINTN Bases[2] = {0x3F8, 0x2F8};
  for (UINTN Uart = 0; Uart < 2; Uart++) {
    for (CONST CHAR8 *Byte = Marker; *Byte != '\0'; Byte++) {
      // Bounded: a missing UART must not hang the boot.
      for (UINTN Poll = 0; Poll < 100000 && (IoRead8(Bases[Uart] + 5) & 0x20) == 0; Poll++) {
      }
      // Whatever the driver left in the line control register, the marker
      // goes to the transmit register, not the divisor latch.
      UINT8 Lcr = IoRead8(Bases[Uart] + 3);
      IoWrite8(Bases[Uart] + 3, (UINT8)(Lcr & 0x7F));
      IoWrite8(Bases[Uart], (UINT8)*Byte);
      IoWrite8(Bases[Uart] + 3, Lcr);
    }
  }
}
