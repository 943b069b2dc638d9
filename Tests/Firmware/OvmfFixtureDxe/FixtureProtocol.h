// SPDX-License-Identifier: BSD-2-Clause-Patent
// How the phase application reaches the OVMF fixture: the board's
// configuration, and the records only it can make.
#pragma once
#include <Uefi.h>
#include "FixtureConfig.h"

inline EFI_GUID gKeshOvmfFixtureProtocolGuid = {
    0x4B455348, 0x4F56, 0x4D46, {0x9A, 0x31, 0x46, 0x49, 0x58, 0x54, 0x55, 0x52}};

#define KESH_OVMF_FIXTURE_REVISION 2

typedef struct {
  UINT32 Revision;
  CONST KESH_OVMF_CONFIG *Config;
  // The GCD descriptor of the hub's ACPI MMIO page; boot services only.
  VOID(EFIAPI *RecordGcd)(VOID);
  // What the fixture counted over the whole boot; callable after Exit Boot Services.
  VOID(EFIAPI *RecordEnd)(VOID);
} KESH_OVMF_FIXTURE_PROTOCOL;
