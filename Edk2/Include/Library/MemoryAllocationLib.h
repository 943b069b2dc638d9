// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once
#include <Base.h>

VOID *EFIAPI AllocatePool(IN UINTN AllocationSize);
VOID *EFIAPI AllocateZeroPool(IN UINTN AllocationSize);
VOID *EFIAPI AllocateRuntimeZeroPool(IN UINTN AllocationSize);
VOID EFIAPI FreePool(IN VOID *Buffer);
