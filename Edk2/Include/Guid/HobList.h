// SPDX-License-Identifier: BSD-2-Clause-Patent
// Configuration-table entry that carries the HOB list of the earlier boot phase.
#pragma once
#include <Uefi.h>

inline EFI_GUID gEfiHobListGuid = {
    0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
