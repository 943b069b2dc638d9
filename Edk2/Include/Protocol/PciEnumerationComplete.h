// SPDX-License-Identifier: BSD-2-Clause-Patent
// Installed by the PCI bus driver once enumeration is complete.
#pragma once
#include <Uefi.h>

inline EFI_GUID gEfiPciEnumerationCompleteProtocolGuid = {
    0x30CFE3E7, 0x3DE1, 0x4586, {0xBE, 0x20, 0xDE, 0xAB, 0xA1, 0xB3, 0xB7, 0x93}};
