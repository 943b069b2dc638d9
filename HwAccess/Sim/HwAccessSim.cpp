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
