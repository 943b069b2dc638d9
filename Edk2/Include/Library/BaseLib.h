// SPDX-License-Identifier: BSD-2-Clause-Patent
// String, arithmetic and processor primitives.
#pragma once
#include <Base.h>

UINTN EFIAPI AsciiStrLen(IN CONST CHAR8 *String);
INTN EFIAPI AsciiStrCmp(IN CONST CHAR8 *FirstString, IN CONST CHAR8 *SecondString);
UINTN EFIAPI StrLen(IN CONST CHAR16 *String);
INTN EFIAPI StrCmp(IN CONST CHAR16 *FirstString, IN CONST CHAR16 *SecondString);
CHAR16 *EFIAPI StrStr(IN CONST CHAR16 *String, IN CONST CHAR16 *SearchString);

UINT64 EFIAPI LShiftU64(IN UINT64 Operand, IN UINTN Count);
UINT64 EFIAPI RShiftU64(IN UINT64 Operand, IN UINTN Count);
UINT64 EFIAPI LRotU64(IN UINT64 Operand, IN UINTN Count);
UINT64 EFIAPI MultU64x32(IN UINT64 Multiplicand, IN UINT32 Multiplier);
UINT64 EFIAPI DivU64x32(IN UINT64 Dividend, IN UINT32 Divisor);

VOID EFIAPI CpuBreakpoint(VOID);
VOID EFIAPI CpuPause(VOID);
VOID EFIAPI EnableInterrupts(VOID);
VOID EFIAPI DisableInterrupts(VOID);
BOOLEAN EFIAPI GetInterruptState(VOID);
BOOLEAN EFIAPI SaveAndDisableInterrupts(VOID);
BOOLEAN EFIAPI SetInterruptState(IN BOOLEAN InterruptState);
UINT32 EFIAPI AsmCpuid(IN UINT32 Index, OUT UINT32 *Eax OPTIONAL, OUT UINT32 *Ebx OPTIONAL,
                       OUT UINT32 *Ecx OPTIONAL, OUT UINT32 *Edx OPTIONAL);
UINT64 EFIAPI AsmReadMsr64(IN UINT32 Index);
