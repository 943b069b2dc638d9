// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <Library/BaseLib.h>
#include <HwAccessLib.h>

UINTN EFIAPI AsciiStrLen(IN CONST CHAR8 *String) {
  UINTN Length = 0;
  while (String[Length] != '\0') {
    Length++;
  }
  return Length;
}

INTN EFIAPI AsciiStrCmp(IN CONST CHAR8 *FirstString, IN CONST CHAR8 *SecondString) {
  while (*FirstString != '\0' && *FirstString == *SecondString) {
    FirstString++;
    SecondString++;
  }
  return (INTN)(UINT8)*FirstString - (INTN)(UINT8)*SecondString;
}

UINTN EFIAPI StrLen(IN CONST CHAR16 *String) {
  UINTN Length = 0;
  while (String[Length] != 0) {
    Length++;
  }
  return Length;
}

INTN EFIAPI StrCmp(IN CONST CHAR16 *FirstString, IN CONST CHAR16 *SecondString) {
  while (*FirstString != 0 && *FirstString == *SecondString) {
    FirstString++;
    SecondString++;
  }
  return (INTN)*FirstString - (INTN)*SecondString;
}

CHAR16 *EFIAPI StrStr(IN CONST CHAR16 *String, IN CONST CHAR16 *SearchString) {
  if (*SearchString == 0) {
    return (CHAR16 *)String;
  }
  for (; *String != 0; String++) {
    CONST CHAR16 *First = String;
    CONST CHAR16 *Second = SearchString;
    while (*First != 0 && *Second != 0 && *First == *Second) {
      First++;
      Second++;
    }
    if (*Second == 0) {
      return (CHAR16 *)String;
    }
  }
  return nullptr;
}

UINT64 EFIAPI LShiftU64(IN UINT64 Operand, IN UINTN Count) {
  return Count >= 64 ? 0 : Operand << Count;
}
UINT64 EFIAPI RShiftU64(IN UINT64 Operand, IN UINTN Count) {
  return Count >= 64 ? 0 : Operand >> Count;
}
UINT64 EFIAPI LRotU64(IN UINT64 Operand, IN UINTN Count) {
  Count &= 63;
  return Count == 0 ? Operand : (Operand << Count) | (Operand >> (64 - Count));
}
UINT64 EFIAPI MultU64x32(IN UINT64 Multiplicand, IN UINT32 Multiplier) {
  return Multiplicand * Multiplier;
}
UINT64 EFIAPI DivU64x32(IN UINT64 Dividend, IN UINT32 Divisor) {
  return Dividend / Divisor;
}

VOID EFIAPI CpuBreakpoint(VOID) {
  HwBreakpoint();
}
VOID EFIAPI CpuPause(VOID) {
  HwPause();
}
VOID EFIAPI EnableInterrupts(VOID) {
  HwEnableInterrupts();
}
VOID EFIAPI DisableInterrupts(VOID) {
  HwDisableInterrupts();
}
BOOLEAN EFIAPI GetInterruptState(VOID) {
  return HwGetInterruptState();
}

BOOLEAN EFIAPI SaveAndDisableInterrupts(VOID) {
  BOOLEAN InterruptState = GetInterruptState();
  DisableInterrupts();
  return InterruptState;
}

BOOLEAN EFIAPI SetInterruptState(IN BOOLEAN InterruptState) {
  if (InterruptState) {
    EnableInterrupts();
  } else {
    DisableInterrupts();
  }
  return InterruptState;
}

UINT32 EFIAPI AsmCpuid(IN UINT32 Index, OUT UINT32 *Eax OPTIONAL, OUT UINT32 *Ebx OPTIONAL,
                       OUT UINT32 *Ecx OPTIONAL, OUT UINT32 *Edx OPTIONAL) {
  UINT32 Registers[4];
  HwCpuid(Index, 0, Registers);
  if (Eax != nullptr) {
    *Eax = Registers[0];
  }
  if (Ebx != nullptr) {
    *Ebx = Registers[1];
  }
  if (Ecx != nullptr) {
    *Ecx = Registers[2];
  }
  if (Edx != nullptr) {
    *Edx = Registers[3];
  }
  return Index;
}

UINT64 EFIAPI AsmReadMsr64(IN UINT32 Index) {
  return HwReadMsr(Index);
}
