// SPDX-License-Identifier: BSD-2-Clause-Patent
// The Kesh hub as the driver sees it: fixed addresses and the SPI controller.
#pragma once
#include <PiDxe.h>

#define KESH_ACPI_MMIO_BASE 0xFED80000ULL
#define KESH_MMIO_PAGE_SIZE 0x1000ULL
#define KESH_MMIO_PAGE_ALIGNMENT 12
// The page that holds an address.
#define KESH_MMIO_PAGE_OF(Address) ((Address) & ~(KESH_MMIO_PAGE_SIZE - 1))

// SPI base address register: bus 0, device 0x14, function 3, register 0xA0.
#define KESH_SPI_BASE_REGISTER 0x000A30A0ULL
#define KESH_SPI_BASE_MASK 0xFFFFFFC0u

#define KESH_SPI_REG_CONTROL 0x00
#define KESH_SPI_REG_RESTRICTED_CMD 0x04
#define KESH_SPI_REG_RESTRICTED_CMD2 0x08
#define KESH_SPI_REG_1D 0x1D
#define KESH_SPI_WRITE_BUFFER_EN 0x04
#define KESH_SPI_PROTECT 0x08
#define KESH_SPI_LOCK 0x20

// The SPI controller's MMIO base: the base register with its low six bits
// cleared, zero-extended. FALSE when the base is no address to touch: the
// register reads all ones (no device) or zero (never programmed), the base
// lies on the ACPI MMIO page, or the GCD map says the page is RAM.
BOOLEAN KeshSpiMmioBase(OUT UINTN *Base);

VOID ReportRuntimeMmioPage(IN EFI_PHYSICAL_ADDRESS Base, IN UINT64 Attributes,
                           OUT EFI_GCD_MEMORY_SPACE_DESCRIPTOR *Descriptor);
