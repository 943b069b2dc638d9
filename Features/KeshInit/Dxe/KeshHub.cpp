// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "KeshHub.h"
#include <Library/PciLib.h>
#include <Library/DxeServicesTableLib.h>

// RAM of every kind the GCD knows: flash registers are never there.
static BOOLEAN KeshGcdTypeIsRam(EFI_GCD_MEMORY_TYPE Type) {
  return Type == EfiGcdMemoryTypeSystemMemory || Type == EfiGcdMemoryTypePersistent ||
                 Type == EfiGcdMemoryTypeMoreReliable || Type == EfiGcdMemoryTypeUnaccepted
             ? TRUE
             : FALSE;
}

BOOLEAN KeshSpiMmioBase(OUT UINTN *Base) {
  UINT32 Register = PciRead32(KESH_SPI_BASE_REGISTER);
  *Base = (UINTN)(Register & KESH_SPI_BASE_MASK);
  if (Register == 0xFFFFFFFFu || *Base == 0 || KESH_MMIO_PAGE_OF(*Base) == KESH_ACPI_MMIO_BASE) {
    return FALSE;
  }
  // Only a map that says RAM outright refuses the base. Without a map, with
  // a descriptor that cannot be read or a page the map does not know, the
  // base is all there is to go on, and leaving the flash unprotected is the
  // worse mistake.
  if (gDS == nullptr) {
    return TRUE;
  }
  EFI_GCD_MEMORY_SPACE_DESCRIPTOR Descriptor;
  if (EFI_ERROR(gDS->GetMemorySpaceDescriptor(*Base, &Descriptor))) {
    return TRUE;
  }
  return KeshGcdTypeIsRam(Descriptor.GcdMemoryType) ? FALSE : TRUE;
}
