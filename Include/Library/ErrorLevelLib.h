// SPDX-License-Identifier: BSD-2-Clause-Patent
// This platform's error-level instance: the level comes from the earlier
// boot phase's level HOB or from CMOS, and other components read and replace
// it through the debug mask protocol installed on the image handle.
#pragma once
#include <Uefi.h>
#include <Library/DebugPrintErrorLevelLib.h>

// Runs first of the module's library constructors, before the table
// libraries: it works only from the system table it is given.
EFI_STATUS EFIAPI DebugPrintErrorLevelConstructor(IN EFI_HANDLE ImageHandle,
                                                  IN EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI DebugPrintErrorLevelDestructor(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
