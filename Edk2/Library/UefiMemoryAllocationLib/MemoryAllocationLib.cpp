// SPDX-License-Identifier: BSD-2-Clause-Patent
#include <Uefi.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>

static VOID *InternalAllocatePool(EFI_MEMORY_TYPE MemoryType, UINTN AllocationSize) {
  VOID *Memory = nullptr;
  EFI_STATUS Status = gBS->AllocatePool(MemoryType, AllocationSize, &Memory);
  if (EFI_ERROR(Status)) {
    return nullptr;
  }
  return Memory;
}

static VOID *InternalAllocateZeroPool(EFI_MEMORY_TYPE MemoryType, UINTN AllocationSize) {
  VOID *Memory = InternalAllocatePool(MemoryType, AllocationSize);
  if (Memory != nullptr) {
    ZeroMem(Memory, AllocationSize);
  }
  return Memory;
}

VOID *EFIAPI AllocatePool(IN UINTN AllocationSize) {
  return InternalAllocatePool(EfiBootServicesData, AllocationSize);
}
VOID *EFIAPI AllocateZeroPool(IN UINTN AllocationSize) {
  return InternalAllocateZeroPool(EfiBootServicesData, AllocationSize);
}
VOID *EFIAPI AllocateRuntimeZeroPool(IN UINTN AllocationSize) {
  return InternalAllocateZeroPool(EfiRuntimeServicesData, AllocationSize);
}

VOID EFIAPI FreePool(IN VOID *Buffer) {
  EFI_STATUS Status = gBS->FreePool(Buffer);
  ASSERT_EFI_ERROR(Status);
}
