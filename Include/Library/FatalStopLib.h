// SPDX-License-Identifier: BSD-2-Clause-Patent
// The fatal stop: a terminal POST-code display for states that cannot occur.
#pragma once
#include <Base.h>

BOOLEAN EFIAPI FatalStop(IN UINT32 Code);
BOOLEAN EFIAPI PostCodeDisplayLoop(IN UINT32 Code);
UINT16 EFIAPI DebugEnvironmentQuery(VOID);
VOID EFIAPI CpuDeadLoop(VOID);
