// SPDX-License-Identifier: BSD-2-Clause-Patent
// The hardware-access primitives: everything the firmware does to the
// processor and the buses goes through these. One instance executes the
// x86-64 instructions (the UEFI image); the other hands each access to the
// simulated machine (host images and tests).
#pragma once
#include <Base.h>

// Width is the access size in bytes: 1, 2 or 4 for ports; 1, 2, 4 or 8 for MMIO.
UINT32 HwIoRead(UINT16 Port, UINT8 Width);
VOID HwIoWrite(UINT16 Port, UINT8 Width, UINT32 Value);
UINT64 HwMmioRead(UINTN Address, UINT8 Width);
VOID HwMmioWrite(UINTN Address, UINT8 Width, UINT64 Value);

VOID HwCpuid(UINT32 Leaf, UINT32 SubLeaf, UINT32 Registers[4]);
UINT64 HwReadMsr(UINT32 Index);

BOOLEAN HwGetInterruptState(VOID);
VOID HwDisableInterrupts(VOID);
VOID HwEnableInterrupts(VOID);

// INT3: returns when the trap handler returns.
VOID HwBreakpoint(VOID);
VOID HwPause(VOID);

// CPUID leaf 0xBACCD00B with SI = 0 and RBX = 2; answers SI afterwards.
// Hardware leaves SI alone, so only a debug or simulation environment
// can answer non-zero.
UINT16 HwDebugEnvironmentQuery(VOID);
