// SPDX-License-Identifier: BSD-2-Clause-Patent
// Host instance of the hardware-access primitives: every access is handed
// to the simulated machine this image was bound to.
#include <HwAccessLib.h>
#include <HwAccessSimBinding.h>

static CONST HW_SIM_BINDING *mBinding = nullptr;

IMAGE_EXPORT VOID HwAccessSimBind(CONST HW_SIM_BINDING *Binding) {
  mBinding = Binding;
}

// An access before binding is a loader fault; trap rather than touch host memory.
static CONST HW_SIM_BINDING *Bound() {
  if (mBinding == nullptr) {
    __builtin_trap();
  }
  return mBinding;
}

UINT32 HwIoRead(UINT16 Port, UINT8 Width) {
  return Bound()->IoRead(mBinding->Context, Port, Width);
}
VOID HwIoWrite(UINT16 Port, UINT8 Width, UINT32 Value) {
  Bound()->IoWrite(mBinding->Context, Port, Width, Value);
}
UINT64 HwMmioRead(UINTN Address, UINT8 Width) {
  return Bound()->MmioRead(mBinding->Context, Address, Width);
}
VOID HwMmioWrite(UINTN Address, UINT8 Width, UINT64 Value) {
  Bound()->MmioWrite(mBinding->Context, Address, Width, Value);
}
VOID HwCpuid(UINT32 Leaf, UINT32 SubLeaf, UINT32 Registers[4]) {
  Bound()->Cpuid(mBinding->Context, Leaf, SubLeaf, Registers);
}
UINT64 HwReadMsr(UINT32 Index) {
  return Bound()->ReadMsr(mBinding->Context, Index);
}
BOOLEAN HwGetInterruptState(VOID) {
  return Bound()->GetInterruptState(mBinding->Context);
}
VOID HwDisableInterrupts(VOID) {
  Bound()->SetInterruptState(mBinding->Context, FALSE);
}
VOID HwEnableInterrupts(VOID) {
  Bound()->SetInterruptState(mBinding->Context, TRUE);
}
VOID HwBreakpoint(VOID) {
  Bound()->Breakpoint(mBinding->Context);
}
VOID HwPause(VOID) {
  Bound()->Pause(mBinding->Context);
}
UINT16 HwDebugEnvironmentQuery(VOID) {
  return Bound()->DebugEnvironmentQuery(mBinding->Context);
}

#ifdef KESH_EDGE_TABLE
// Every basic block of the image's libraries calls this (they are built with
// -fsanitize-coverage=trace-pc; this file is not). The table lives in the
// image's own zeroed globals, which the loader restores before each reuse,
// so a boot sees only the blocks it ran.
namespace {
constexpr UINT32 kEdgeSlots = 8192;
// Kept below full so that a probe for an absent offset soon meets a free slot.
constexpr UINT32 kEdgeLimit = kEdgeSlots / 4 * 3;
UINT32 mEdgeSlots[kEdgeSlots];
HW_SIM_EDGE_TABLE mEdges;
} // namespace

// The ELF header: the image's first byte, where the loader placed it.
extern "C" CONST CHAR8 __ehdr_start[] __attribute__((visibility("hidden")));

extern "C" VOID __sanitizer_cov_trace_pc(VOID) {
  UINT32 Offset = (UINT32)((UINTN)__builtin_return_address(0) - (UINTN)__ehdr_start);
  UINT32 Slot = (Offset * 0x9E3779B1u) >> 19; // 13 bits: kEdgeSlots
  while (mEdgeSlots[Slot] != 0) {
    if (mEdgeSlots[Slot] == Offset) {
      return;
    }
    Slot = (Slot + 1) & (kEdgeSlots - 1);
  }
  if (mEdges.Count >= kEdgeLimit) {
    mEdges.Lost++;
    return;
  }
  mEdgeSlots[Slot] = Offset;
  mEdges.Count++;
}

IMAGE_EXPORT CONST HW_SIM_EDGE_TABLE *HwAccessSimEdges(VOID) {
  mEdges.Capacity = kEdgeSlots;
  mEdges.Slots = mEdgeSlots;
  return &mEdges;
}
#endif
