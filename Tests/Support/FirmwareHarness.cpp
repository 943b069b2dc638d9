// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "FirmwareHarness.h"

#include <Library/DebugPrintErrorLevelLib.h>

namespace {
std::string gConsole;
UINT32 gErrorLevel = 0x80000040;

sim::Machine &machineOf(VOID *context) {
  return *static_cast<sim::Machine *>(context);
}
} // namespace

// The level-source instance of this test module; its console instance is
// in HarnessConsole.cpp, so that a test can link the real console instead.
UINT32 EFIAPI GetDebugPrintErrorLevel(VOID) {
  return gErrorLevel;
}
BOOLEAN EFIAPI SetDebugPrintErrorLevel(IN UINT32 ErrorLevel) {
  gErrorLevel = ErrorLevel;
  return TRUE;
}

// This test module's build settings, as a module's AutoGen gives them.
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPciBarRegisterOffset = 0x0000;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddress = 0x0400;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddressMask = 0xFFFE;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiPm1TmrOffset = 0x0008;

namespace harness {

std::string &console() {
  return gConsole;
}
void setErrorLevel(uint32_t level) {
  gErrorLevel = level;
}

MachineBinding::MachineBinding(sim::Machine &machine) {
  binding_ = HW_SIM_BINDING{
      &machine,
      [](VOID *c, UINT16 port, UINT8 width) { return machineOf(c).ioRead(port, width); },
      [](VOID *c, UINT16 port, UINT8 width, UINT32 value) { machineOf(c).ioWrite(port, width, value); },
      [](VOID *c, UINTN address, UINT8 width) { return machineOf(c).mmioRead(address, width); },
      [](VOID *c, UINTN address, UINT8 width, UINT64 value) {
        machineOf(c).mmioWrite(address, width, value);
      },
      [](VOID *c, UINT32 leaf, UINT32 subleaf, UINT32 regs[4]) {
        sim::CpuidRegs r = machineOf(c).cpuid(leaf, subleaf);
        regs[0] = r.eax;
        regs[1] = r.ebx;
        regs[2] = r.ecx;
        regs[3] = r.edx;
      },
      [](VOID *c, UINT32 index) { return machineOf(c).readMsr(index); },
      [](VOID *c) -> BOOLEAN { return machineOf(c).interruptsEnabled() ? TRUE : FALSE; },
      [](VOID *c, BOOLEAN enabled) { machineOf(c).setInterrupts(enabled != FALSE); },
      [](VOID *c) { machineOf(c).breakpoint(); },
      [](VOID *c) { machineOf(c).pause(); },
      [](VOID *c) { return machineOf(c).debugEnvironmentQuery(); },
  };
  HwAccessSimBind(&binding_);
  gConsole.clear();
  gErrorLevel = 0x80000040;
}

MachineBinding::~MachineBinding() {
  HwAccessSimBind(nullptr);
}

} // namespace harness
