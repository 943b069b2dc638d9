// SPDX-License-Identifier: BSD-2-Clause-Patent
// Delays against the ACPI PM timer: a 24-bit counter at 3,579,545 Hz.
#include <Uefi.h>
#include <Library/TimerLib.h>
#include <Library/IoLib.h>
#include <Library/BaseLib.h>
#include <Library/DebugLib.h>

// Build settings of the module that links this library.
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPciBarRegisterOffset;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddress;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddressMask;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiPm1TmrOffset;

#define ACPI_TIMER_FREQUENCY 3579545u
#define ACPI_TIMER_COUNT_SIZE 0x01000000u

static UINTN InternalAcpiGetTimerPort(VOID) {
  return (UINTN)(_gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddress &
                 _gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddressMask) +
         _gPcd_FixedAtBuild_PcdAcpiPm1TmrOffset;
}

static UINT32 InternalAcpiGetTimerTick(VOID) {
  return IoRead32(InternalAcpiGetTimerPort());
}

// Every wait is shorter than half the counter, so testing bit 23 of the
// distance to the target survives a wrap of the 24-bit counter.
static VOID InternalAcpiDelay(IN UINT32 Delay) {
  UINT32 Times = Delay >> 22;
  Delay &= 0x003FFFFF;
  do {
    UINT32 Ticks = InternalAcpiGetTimerTick() + Delay;
    Delay = 0x00400000;
    while (((Ticks - InternalAcpiGetTimerTick()) & (ACPI_TIMER_COUNT_SIZE >> 1)) == 0) {
      CpuPause();
    }
  } while (Times-- > 0);
}

UINTN EFIAPI MicroSecondDelay(IN UINTN MicroSeconds) {
  InternalAcpiDelay((UINT32)DivU64x32(MultU64x32(MicroSeconds, ACPI_TIMER_FREQUENCY), 1000000u));
  return MicroSeconds;
}

EFI_STATUS EFIAPI AcpiTimerLibConstructor(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
  ASSERT(_gPcd_FixedAtBuild_PcdAcpiIoPciBarRegisterOffset != 0xFFFF);
  ASSERT(_gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddress != 0xFFFF);
  // A zero BAR offset means the ACPI I/O space is fixed: nothing to program.
  return EFI_SUCCESS;
}
