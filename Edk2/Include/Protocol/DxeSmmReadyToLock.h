// SPDX-License-Identifier: BSD-2-Clause-Patent
// Installed just before SMRAM is locked; later DXE code may not trust SMM entry.
#pragma once
#include <Uefi.h>

inline EFI_GUID gEfiDxeSmmReadyToLockProtocolGuid = {
    0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}};
