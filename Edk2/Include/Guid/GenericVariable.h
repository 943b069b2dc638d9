// SPDX-License-Identifier: BSD-2-Clause-Patent
// Namespace of the generic debug settings: the "EFIDebug" variable and the
// level HOB of the earlier boot phase.
#pragma once
#include <Uefi.h>

inline EFI_GUID gEfiGenericVariableGuid = {
    0x59D1C24F, 0x50F1, 0x401A, {0xB1, 0x01, 0xF3, 0x3E, 0x0D, 0xAE, 0xD4, 0x43}};
