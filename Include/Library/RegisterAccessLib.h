// SPDX-License-Identifier: BSD-2-Clause-Patent
// Width-coded PCI register access, index/data register pairs and the
// indirect registers of each die's root device. A width code is 1, 2, 3 or
// 4 for 8, 16, 32 or 64 bits; adding REGISTER_ACCESS_S3_CAPTURE asks that a
// write also be recorded for S3 resume.
#pragma once
#include <Base.h>

#define REGISTER_ACCESS_WIDTH_8 1
#define REGISTER_ACCESS_WIDTH_16 2
#define REGISTER_ACCESS_WIDTH_32 3
#define REGISTER_ACCESS_WIDTH_64 4
#define REGISTER_ACCESS_S3_CAPTURE 0x80

// Index register of a die root device's indirect registers (bus B, device 0,
// function 0); the data register follows it.
#define DIE_INDIRECT_INDEX_REGISTER 0xB8

VOID WritePciRegister(IN UINT32 PciAddress, IN UINT32 WidthCode, IN VOID *Buffer);
VOID ReadPciRegister(IN UINT32 PciAddress, IN UINT32 WidthCode, OUT VOID *Buffer);
UINT8 GetWidthByteCount(IN UINT32 WidthCode);
VOID ReadIndexedPciRegister(IN UINT32 IndexAddress, IN UINT32 IndexValue, IN UINT32 WidthCode,
                            OUT VOID *Buffer);
VOID WriteIndexedPciRegister(IN UINT32 IndexAddress, IN UINT32 IndexValue, IN UINT32 WidthCode,
                             IN VOID *Buffer);
VOID ReadIndirectRegister(IN UINT32 Bus, IN UINT32 Register, OUT UINT32 *Value);
VOID WriteIndirectRegister(IN UINT32 Bus, IN UINT32 Register, IN UINT32 *Value, IN UINT32 S3Capture);
VOID UpdateIndirectRegister(IN UINT32 Bus, IN UINT32 Register, IN UINT32 AndMask, IN UINT32 OrValue,
                            IN UINT32 S3Capture);
