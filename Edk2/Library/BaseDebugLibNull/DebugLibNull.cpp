// SPDX-License-Identifier: BSD-2-Clause-Patent
// DebugLib that reports nothing: for test modules that keep their own log.
#include <Library/DebugLib.h>

VOID EFIAPI DebugPrint(IN UINTN ErrorLevel, IN CONST CHAR8 *Format, ...) {
  (VOID) ErrorLevel;
  (VOID) Format;
}
VOID EFIAPI DebugAssert(IN CONST CHAR8 *FileName, IN UINTN LineNumber, IN CONST CHAR8 *Description) {
  (VOID) FileName;
  (VOID) LineNumber;
  (VOID) Description;
}
BOOLEAN EFIAPI DebugAssertEnabled(VOID) {
  return FALSE;
}
BOOLEAN EFIAPI DebugPrintEnabled(VOID) {
  return FALSE;
}
BOOLEAN EFIAPI DebugPrintLevelEnabled(IN CONST UINTN ErrorLevel) {
  (VOID) ErrorLevel;
  return FALSE;
}
