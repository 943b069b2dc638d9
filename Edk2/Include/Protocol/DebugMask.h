// SPDX-License-Identifier: BSD-2-Clause-Patent
// Lets other components read and replace a module's debug error level.
#pragma once
#include <Uefi.h>

#define EFI_DEBUG_MASK_REVISION 0x00010000

typedef struct _EFI_DEBUG_MASK_PROTOCOL EFI_DEBUG_MASK_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_GET_DEBUG_MASK)(IN EFI_DEBUG_MASK_PROTOCOL *This,
                                               IN OUT UINTN *CurrentDebugMask);
typedef EFI_STATUS(EFIAPI *EFI_SET_DEBUG_MASK)(IN EFI_DEBUG_MASK_PROTOCOL *This, IN UINTN NewDebugMask);

struct _EFI_DEBUG_MASK_PROTOCOL {
  INT64 Revision;
  EFI_GET_DEBUG_MASK GetDebugMask;
  EFI_SET_DEBUG_MASK SetDebugMask;
};
static_assert(sizeof(EFI_DEBUG_MASK_PROTOCOL) == 24);

inline EFI_GUID gEfiDebugMaskProtocolGuid = {
    0x4C8A2451, 0xC207, 0x405B, {0x96, 0x94, 0x99, 0xEA, 0x13, 0x25, 0x13, 0x41}};
