// SPDX-License-Identifier: BSD-2-Clause-Patent
// Configuration-table entry that carries the PI DXE services table.
#pragma once
#include <Uefi.h>

inline EFI_GUID gEfiDxeServicesTableGuid = {
    0x05AD34BA, 0x6F02, 0x4214, {0x95, 0x2E, 0x4D, 0xA0, 0x39, 0x8E, 0x2B, 0xB9}};
