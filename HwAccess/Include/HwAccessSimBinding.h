// SPDX-License-Identifier: BSD-2-Clause-Patent
// How a host image is bound to the simulated machine. The loader calls the
// image's HwAccessSimBind before its entry point; each image keeps its own
// binding, as it keeps its own copy of every library global.
#pragma once
#include <Base.h>

typedef struct {
  VOID *Context;
  UINT32 (*IoRead)(VOID *Context, UINT16 Port, UINT8 Width);
  VOID (*IoWrite)(VOID *Context, UINT16 Port, UINT8 Width, UINT32 Value);
  UINT64 (*MmioRead)(VOID *Context, UINTN Address, UINT8 Width);
  VOID (*MmioWrite)(VOID *Context, UINTN Address, UINT8 Width, UINT64 Value);
  VOID (*Cpuid)(VOID *Context, UINT32 Leaf, UINT32 SubLeaf, UINT32 Registers[4]);
  UINT64 (*ReadMsr)(VOID *Context, UINT32 Index);
  BOOLEAN (*GetInterruptState)(VOID *Context);
  VOID (*SetInterruptState)(VOID *Context, BOOLEAN Enabled);
  VOID (*Breakpoint)(VOID *Context);
  VOID (*Pause)(VOID *Context);
  UINT16 (*DebugEnvironmentQuery)(VOID *Context);
} HW_SIM_BINDING;

IMAGE_EXPORT VOID HwAccessSimBind(CONST HW_SIM_BINDING *Binding);

// The code an Edges image reached since it was loaded: offsets from the
// image's base of the basic blocks that ran (each once), in an
// open-addressing table whose empty slots hold 0. A block that found the
// table full is counted in Lost instead.
typedef struct {
  UINT32 Capacity; // slots
  UINT32 Count;    // offsets held
  UINT64 Lost;     // blocks run that the table had no room for
  CONST UINT32 *Slots;
} HW_SIM_EDGE_TABLE;

// Exported by Edges images only.
IMAGE_EXPORT CONST HW_SIM_EDGE_TABLE *HwAccessSimEdges(VOID);
