// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once
#include <Uefi.h>

typedef struct {
  CONST CHAR8 *Name;
  EFI_STATUS(EFIAPI *Function)(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
} KESH_LIBRARY_HOOK;

extern const KESH_LIBRARY_HOOK gKeshLibraryConstructors[];
extern const UINTN gKeshLibraryConstructorCount;
extern const KESH_LIBRARY_HOOK gKeshLibraryDestructors[];
extern const UINTN gKeshLibraryDestructorCount;

// Build settings consumed by the libraries this module links.
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPciBarRegisterOffset;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddress;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiIoPortBaseAddressMask;
extern const UINT16 _gPcd_FixedAtBuild_PcdAcpiPm1TmrOffset;

// Embedded SATA ports switched off: one 8-bit token per port of die 0 (228
// to 235), one 64-bit mask for the other dies (236).
#define _PCD_TOKEN_PcdEmbeddedSataDie0Port0Disable 228
#define _PCD_TOKEN_PcdEmbeddedSataPortDisableMask 236
