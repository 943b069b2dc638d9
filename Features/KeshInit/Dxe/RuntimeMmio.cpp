// SPDX-License-Identifier: BSD-2-Clause-Patent
// Reporting the hub's ACPI MMIO page and the SPI controller's page as
// runtime MMIO once PCI enumeration is complete.
#include "KeshInit.h"
#include "KeshHub.h"
#include <Protocol/PciEnumerationComplete.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/DxeServicesTableLib.h>
#include <Library/PciLib.h>
#include <Library/IoLib.h>
#include <Library/DebugLib.h>

VOID EFIAPI KeshOnPciEnumComplete(IN EFI_EVENT Event, IN VOID *Context) {
  EFI_STATUS Status;
  VOID *Interface;
  EFI_GCD_MEMORY_SPACE_DESCRIPTOR Descriptor;
  EFI_PHYSICAL_ADDRESS BaseAddress;
  (VOID) Context;

  // Not complete yet: stay armed for the installation.
  Status = gBS->LocateProtocol(&gEfiPciEnumerationCompleteProtocolGuid, nullptr, &Interface);
  if (EFI_ERROR(Status)) {
    return;
  }

  DEBUG((DEBUG_INFO, "KeshOnPciEnumComplete: Report ACPI MMIO as runtime memory type\n"));
  BaseAddress = KESH_ACPI_MMIO_BASE;
  Status = gDS->AllocateMemorySpace(EfiGcdAllocateAddress, EfiGcdMemoryTypeMemoryMappedIo,
                                    KESH_MMIO_PAGE_ALIGNMENT, KESH_MMIO_PAGE_SIZE, &BaseAddress, mImageHandle,
                                    nullptr);
  ASSERT_EFI_ERROR(Status);
  ReportRuntimeMmioPage(KESH_ACPI_MMIO_BASE, EFI_MEMORY_RUNTIME | EFI_MEMORY_UC, &Descriptor);

  DEBUG((DEBUG_INFO, "KeshOnPciEnumComplete: Report SPI MMIO as runtime memory type\n"));
  UINTN SpiBase;
  if (!KeshSpiMmioBase(&SpiBase)) {
    DEBUG((DEBUG_ERROR | DEBUG_INFO, "SPI Base Address is incorrect !!\n"));
  } else {
    // The SPI page is in the map already; it keeps its cacheability. The
    // base need only be 64-byte aligned: the page is the one that holds it.
    ReportRuntimeMmioPage(KESH_MMIO_PAGE_OF(SpiBase), EFI_MEMORY_RUNTIME, &Descriptor);

    UINT8 Control = MmioRead8(SpiBase + KESH_SPI_REG_1D);
    if ((Control & KESH_SPI_WRITE_BUFFER_EN) == 0) {
      DEBUG((DEBUG_INFO, " KESH SPI WriteBufferEn is not enabled\n"));
      MmioWrite8(SpiBase + KESH_SPI_REG_1D, (UINT8)(Control | KESH_SPI_WRITE_BUFFER_EN));
    }
  }

  gBS->CloseEvent(Event);
}

// Adds Attributes to the page's attributes. A page whose descriptor cannot
// be read has no attributes to extend; it gets only the bits added here, so
// the runtime mapping is still requested.
VOID ReportRuntimeMmioPage(IN EFI_PHYSICAL_ADDRESS Base, IN UINT64 Attributes,
                           OUT EFI_GCD_MEMORY_SPACE_DESCRIPTOR *Descriptor) {
  EFI_STATUS Status = gDS->GetMemorySpaceDescriptor(Base, Descriptor);
  ASSERT_EFI_ERROR(Status);
  UINT64 Previous = EFI_ERROR(Status) ? 0 : Descriptor->Attributes;
  Status = gDS->SetMemorySpaceAttributes(Base, KESH_MMIO_PAGE_SIZE, Previous | Attributes);
  ASSERT_EFI_ERROR(Status);
}
