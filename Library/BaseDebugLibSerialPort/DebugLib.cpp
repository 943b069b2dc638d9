// SPDX-License-Identifier: BSD-2-Clause-Patent
// Debug messages and assertion reports written to the serial console.
#include <Base.h>
#include <Library/DebugLib.h>
#include <Library/BaseLib.h>
#include <Library/PrintLib.h>
#include <Library/SerialPortLib.h>
#include <Library/DebugPrintErrorLevelLib.h>
#include <Library/FatalStopLib.h>

// Build settings of the module.
#define DEBUG_PROPERTY_MASK 0x1F
#define FIXED_PRINT_LEVEL 0xFFFFFFFFu

#define MAX_DEBUG_MESSAGE_LENGTH 0x100

VOID EFIAPI DebugPrint(IN UINTN ErrorLevel, IN CONST CHAR8 *Format, ...) {
  CHAR8 Buffer[MAX_DEBUG_MESSAGE_LENGTH];
  VA_LIST Marker;

  ASSERT(Format != NULL);
  if ((ErrorLevel & (UINTN)GetDebugPrintErrorLevel()) == 0) {
    return;
  }
  // A null format has been reported above; there is nothing to print.
  if (Format == nullptr) {
    return;
  }

  VA_START(Marker, Format);
  AsciiVSPrint(Buffer, sizeof(Buffer), Format, Marker);
  VA_END(Marker);

  SerialPortWrite((UINT8 *)Buffer, AsciiStrLen(Buffer));
}

VOID EFIAPI DebugAssert(IN CONST CHAR8 *FileName, IN UINTN LineNumber, IN CONST CHAR8 *Description) {
  CHAR8 Buffer[MAX_DEBUG_MESSAGE_LENGTH];

  AsciiSPrint(Buffer, sizeof(Buffer), "ASSERT %a(%d): %a\n", FileName, LineNumber, Description);
  SerialPortWrite((UINT8 *)Buffer, AsciiStrLen(Buffer));

  if ((DEBUG_PROPERTY_MASK & DEBUG_PROPERTY_ASSERT_BREAKPOINT_ENABLED) != 0) {
    CpuBreakpoint();
  } else if ((DEBUG_PROPERTY_MASK & DEBUG_PROPERTY_ASSERT_DEADLOOP_ENABLED) != 0) {
    CpuDeadLoop();
  }
}

BOOLEAN EFIAPI DebugAssertEnabled(VOID) {
  return (DEBUG_PROPERTY_MASK & DEBUG_PROPERTY_DEBUG_ASSERT_ENABLED) != 0 ? TRUE : FALSE;
}

BOOLEAN EFIAPI DebugPrintEnabled(VOID) {
  return (DEBUG_PROPERTY_MASK & DEBUG_PROPERTY_DEBUG_PRINT_ENABLED) != 0 ? TRUE : FALSE;
}

BOOLEAN EFIAPI DebugPrintLevelEnabled(IN CONST UINTN ErrorLevel) {
  return (ErrorLevel & (UINTN)FIXED_PRINT_LEVEL) != 0 ? TRUE : FALSE;
}
