// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once
#include <Base.h>

UINT32 EFIAPI GetDebugPrintErrorLevel(VOID);
BOOLEAN EFIAPI SetDebugPrintErrorLevel(IN UINT32 ErrorLevel);
