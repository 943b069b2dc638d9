// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "KeshHub.h"
#include <Library/PciLib.h>
#include <Library/DxeServicesTableLib.h>

BOOLEAN KeshSpiMmioBase(OUT UINTN *Base) {
  UINT32 Register = PciRead32(KESH_SPI_BASE_REGISTER);
  *Base = (UINTN)(Register & KESH_SPI_BASE_MASK);
  if (Register == 0xFFFFFFFFu || *Base == 0) {
    return FALSE;
  }
  // The lock, the opcodes and the runtime report all go where the base
  // points: it must name device registers, never memory, and never the
  // hub's ACPI registers.
  if (KESH_MMIO_PAGE_OF(*Base) == KESH_ACPI_MMIO_BASE || gDS == nullptr) {
    return FALSE;
  }
  EFI_GCD_MEMORY_SPACE_DESCRIPTOR Descriptor;
  if (EFI_ERROR(gDS->GetMemorySpaceDescriptor(*Base, &Descriptor))) {
    return FALSE;
  }
  return Descriptor.GcdMemoryType == EfiGcdMemoryTypeMemoryMappedIo ? TRUE : FALSE;
}
