// SPDX-License-Identifier: BSD-2-Clause-Patent
// Arming the SPI flash protection at End of DXE.
#include "KeshInit.h"
#include "KeshHub.h"
#include "PlatformProtocols.h"
#include <Library/UefiBootServicesTableLib.h>
#include <Library/DebugPrintErrorLevelLib.h>
#include <Library/IoLib.h>
#include <Library/DebugLib.h>

// Write status, 4 KiB sector erase, 64 KiB block erase, page program;
// write enable and both chip-erase opcodes.
#define KESH_SPI_RESTRICTED_CMD_VALUE 0x02D82001u
#define KESH_SPI_RESTRICTED_CMD2_VALUE 0x0060C706u
#define KESH_SPI_CONTROL_CLEAR_MASK 0xFFBFFFFFu

VOID ActivateSpiProtectLock(VOID) {
  EFI_STATUS Status;
  VroPlatformIdProtocol *Identity;
  UINTN SpiBase;

  DEBUG((DEBUG_INFO, "ActivateSpiProtectLock() - Start\n"));

  if (!KeshSpiMmioBase(&SpiBase)) {
    DEBUG((DEBUG_ERROR | DEBUG_INFO, "SPI Base Address is incorrect !!\n"));
    return;
  }

  MmioWrite8(SpiBase + KESH_SPI_REG_1D, (UINT8)(MmioRead8(SpiBase + KESH_SPI_REG_1D) | KESH_SPI_PROTECT));

  Status = gBS->LocateProtocol(&gVroPlatformIdProtocolGuid, nullptr, (VOID **)&Identity);
  if (!EFI_ERROR(Status) && Identity->QueryPlatformState(PLATFORM_STATE_PWD) == 1) {
    MmioWrite8(SpiBase + KESH_SPI_REG_1D, (UINT8)(MmioRead8(SpiBase + KESH_SPI_REG_1D) | KESH_SPI_LOCK));
    DEBUG((DEBUG_INFO, "SPI Protection is LOCKED !!\n"));
    DEBUG((DEBUG_ERROR, "PWD is inserted - Set SPI Restricted Command!!\n"));

    UINT32 Control = MmioRead32(SpiBase + KESH_SPI_REG_CONTROL);
    MmioWrite32(SpiBase + KESH_SPI_REG_RESTRICTED_CMD, KESH_SPI_RESTRICTED_CMD_VALUE);
    MmioWrite32(SpiBase + KESH_SPI_REG_RESTRICTED_CMD2, KESH_SPI_RESTRICTED_CMD2_VALUE);
    MmioWrite32(SpiBase + KESH_SPI_REG_CONTROL, Control & KESH_SPI_CONTROL_CLEAR_MASK);

    // The dump reads the registers only to print them.
    if ((GetDebugPrintErrorLevel() & DEBUG_ERROR) != 0) {
      DEBUG((DEBUG_ERROR, "  SpiCtr1        = 0x%x\n", MmioRead32(SpiBase + KESH_SPI_REG_CONTROL)));
      DEBUG((DEBUG_ERROR, "  RestrictedCmd  = 0x%x\n", MmioRead32(SpiBase + KESH_SPI_REG_RESTRICTED_CMD)));
      DEBUG((DEBUG_ERROR, "  RestrictedCmd2 = 0x%x\n", MmioRead32(SpiBase + KESH_SPI_REG_RESTRICTED_CMD2)));
    }
  }

  DEBUG((DEBUG_INFO, "ActivateSpiProtectLock() - End\n"));
}
