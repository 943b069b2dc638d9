// SPDX-License-Identifier: BSD-2-Clause-Patent
// Leveled debug messages and assertion reports, in the three report forms.
#pragma once
#include <Base.h>

#define DEBUG_INFO 0x00000040
#define DEBUG_ERROR 0x80000000

#define DEBUG_PROPERTY_DEBUG_ASSERT_ENABLED 0x01
#define DEBUG_PROPERTY_DEBUG_PRINT_ENABLED 0x02
#define DEBUG_PROPERTY_ASSERT_BREAKPOINT_ENABLED 0x10
#define DEBUG_PROPERTY_ASSERT_DEADLOOP_ENABLED 0x20

VOID EFIAPI DebugPrint(IN UINTN ErrorLevel, IN CONST CHAR8 *Format, ...);
VOID EFIAPI DebugAssert(IN CONST CHAR8 *FileName, IN UINTN LineNumber, IN CONST CHAR8 *Description);
BOOLEAN EFIAPI DebugAssertEnabled(VOID);
BOOLEAN EFIAPI DebugPrintEnabled(VOID);
BOOLEAN EFIAPI DebugPrintLevelEnabled(IN CONST UINTN ErrorLevel);

// Message form: arguments are evaluated only when the message can print.
#define _DEBUG_PRINT(PrintLevel, ...)                                                                        \
  do {                                                                                                       \
    if (DebugPrintLevelEnabled(PrintLevel)) {                                                                \
      DebugPrint(PrintLevel, ##__VA_ARGS__);                                                                 \
    }                                                                                                        \
  } while (FALSE)
#define _DEBUG(Expression) _DEBUG_PRINT Expression
#define DEBUG(Expression)                                                                                    \
  do {                                                                                                       \
    if (DebugPrintEnabled()) {                                                                               \
      _DEBUG(Expression);                                                                                    \
    }                                                                                                        \
  } while (FALSE)

// Assertion form: the report quotes the expression's text.
#define _ASSERT(Expression) DebugAssert(__FILE__, __LINE__, #Expression)
#define ASSERT(Expression)                                                                                   \
  do {                                                                                                       \
    if (DebugAssertEnabled()) {                                                                              \
      if (!(Expression)) {                                                                                   \
        _ASSERT(Expression);                                                                                 \
      }                                                                                                      \
    }                                                                                                        \
  } while (FALSE)

// Status assertion form.
// clang-format off
#define ASSERT_EFI_ERROR(StatusParameter)                                                                         \
  do {                                                                                                            \
    if (DebugAssertEnabled()) {                                                                                   \
      if (EFI_ERROR(StatusParameter)) {                                                                           \
        DEBUG((DEBUG_ERROR, "\nASSERT_EFI_ERROR (Status = %r)\n", StatusParameter));                              \
        _ASSERT(!EFI_ERROR (StatusParameter));                                                                    \
      }                                                                                                           \
    }                                                                                                             \
  } while (FALSE)
// clang-format on
