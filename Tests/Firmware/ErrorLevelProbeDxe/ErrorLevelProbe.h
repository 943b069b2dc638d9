// SPDX-License-Identifier: BSD-2-Clause-Patent
// A module that carries the error-level library and lets a test drive it:
// its entry installs this probe on its image handle and runs no library
// constructor, so each loaded copy starts with the library's start state
// and the test decides when, and at which TPL, the constructor runs.
#pragma once
#include <Uefi.h>

inline EFI_GUID gErrorLevelProbeProtocolGuid = {
    0x6D1E0C2B, 0x8A43, 0x4F6E, {0x9B, 0x21, 0x5C, 0x70, 0x3A, 0xE4, 0x11, 0x07}};

typedef struct {
  EFI_STATUS(EFIAPI *Constructor)(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
  EFI_STATUS(EFIAPI *Destructor)(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
  UINT32(EFIAPI *GetLevel)(VOID);
  // DEBUG ((Level, "%a", Text)): a message through the module's DebugLib.
  VOID(EFIAPI *Print)(IN UINTN Level, IN CONST CHAR8 *Text);
  // The library class's setter.
  BOOLEAN(EFIAPI *SetLevel)(IN UINT32 Level);
} ERROR_LEVEL_PROBE_PROTOCOL;
