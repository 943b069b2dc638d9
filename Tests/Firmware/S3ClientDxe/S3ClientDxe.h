// SPDX-License-Identifier: BSD-2-Clause-Patent
// A second module carrying OrunS3SaveLib: it adopts the shared private data
// and records S3 writes of its own, which must land in the driver's table.
#pragma once
#include <Uefi.h>

// The registers it programs and records, on functions the board defines.
typedef struct {
  UINT8 Bus, Device, Function;
  UINT16 Register;
  UINT32 Width; // width code: 1 = 8-bit, 2 = 16, 3 = 32, 4 = 64
  UINT64 Value;
} S3_CLIENT_WRITE;

// A scratch register of the hub's ACPI MMIO page.
#define S3_CLIENT_MMIO_REGISTER 0xFED80E00u
#define S3_CLIENT_MMIO_VALUE 0x4B455348u

extern const S3_CLIENT_WRITE gS3ClientWrites[];
extern const UINTN gS3ClientWriteCount;

EFI_STATUS EFIAPI S3ClientDxeEntryPoint(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
