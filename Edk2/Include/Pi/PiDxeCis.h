// SPDX-License-Identifier: BSD-2-Clause-Patent
// PI DXE services table and the Global Coherency Domain (PI 1.x, volume 2).
#pragma once
#include <Uefi.h>

typedef enum {
  EfiGcdMemoryTypeNonExistent,
  EfiGcdMemoryTypeReserved,
  EfiGcdMemoryTypeSystemMemory,
  EfiGcdMemoryTypeMemoryMappedIo,
  EfiGcdMemoryTypePersistent,
  EfiGcdMemoryTypeMoreReliable,
  EfiGcdMemoryTypeUnaccepted,
  EfiGcdMemoryTypeMaximum
} EFI_GCD_MEMORY_TYPE;
static_assert(sizeof(EFI_GCD_MEMORY_TYPE) == 4 && EfiGcdMemoryTypeMemoryMappedIo == 3);

typedef enum {
  EfiGcdAllocateAnySearchBottomUp,
  EfiGcdAllocateMaxAddressSearchBottomUp,
  EfiGcdAllocateAddress,
  EfiGcdAllocateAnySearchTopDown,
  EfiGcdAllocateMaxAddressSearchTopDown,
  EfiGcdMaxAllocateType
} EFI_GCD_ALLOCATE_TYPE;
static_assert(EfiGcdAllocateAddress == 2 && EfiGcdAllocateMaxAddressSearchTopDown == 4);

typedef struct {
  EFI_PHYSICAL_ADDRESS BaseAddress;
  UINT64 Length;
  UINT64 Capabilities;
  UINT64 Attributes;
  EFI_GCD_MEMORY_TYPE GcdMemoryType;
  EFI_HANDLE ImageHandle;
  EFI_HANDLE DeviceHandle;
} EFI_GCD_MEMORY_SPACE_DESCRIPTOR;
static_assert(sizeof(EFI_GCD_MEMORY_SPACE_DESCRIPTOR) == 56);
static_assert(OFFSET_OF(EFI_GCD_MEMORY_SPACE_DESCRIPTOR, Capabilities) == 16);
static_assert(OFFSET_OF(EFI_GCD_MEMORY_SPACE_DESCRIPTOR, Attributes) == 24);
static_assert(OFFSET_OF(EFI_GCD_MEMORY_SPACE_DESCRIPTOR, GcdMemoryType) == 32);
static_assert(OFFSET_OF(EFI_GCD_MEMORY_SPACE_DESCRIPTOR, ImageHandle) == 40);
static_assert(OFFSET_OF(EFI_GCD_MEMORY_SPACE_DESCRIPTOR, DeviceHandle) == 48);

typedef EFI_STATUS(EFIAPI *EFI_ADD_MEMORY_SPACE)(IN EFI_GCD_MEMORY_TYPE GcdMemoryType,
                                                 IN EFI_PHYSICAL_ADDRESS BaseAddress, IN UINT64 Length,
                                                 IN UINT64 Capabilities);
typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_MEMORY_SPACE)(IN EFI_GCD_ALLOCATE_TYPE GcdAllocateType,
                                                      IN EFI_GCD_MEMORY_TYPE GcdMemoryType,
                                                      IN UINTN Alignment, IN UINT64 Length,
                                                      IN OUT EFI_PHYSICAL_ADDRESS *BaseAddress,
                                                      IN EFI_HANDLE ImageHandle,
                                                      IN EFI_HANDLE DeviceHandle OPTIONAL);
typedef EFI_STATUS(EFIAPI *EFI_FREE_MEMORY_SPACE)(IN EFI_PHYSICAL_ADDRESS BaseAddress, IN UINT64 Length);
typedef EFI_STATUS(EFIAPI *EFI_GET_MEMORY_SPACE_DESCRIPTOR)(IN EFI_PHYSICAL_ADDRESS BaseAddress,
                                                            OUT EFI_GCD_MEMORY_SPACE_DESCRIPTOR *Descriptor);
typedef EFI_STATUS(EFIAPI *EFI_SET_MEMORY_SPACE_ATTRIBUTES)(IN EFI_PHYSICAL_ADDRESS BaseAddress,
                                                            IN UINT64 Length, IN UINT64 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_GET_MEMORY_SPACE_MAP)(OUT UINTN *NumberOfDescriptors,
                                                     OUT EFI_GCD_MEMORY_SPACE_DESCRIPTOR **MemorySpaceMap);

#define DXE_SERVICES_SIGNATURE SIGNATURE_64('D', 'X', 'E', '_', 'S', 'E', 'R', 'V')
#define DXE_SERVICES_REVISION ((1 << 16) | (70))

typedef struct {
  EFI_TABLE_HEADER Hdr;
  EFI_ADD_MEMORY_SPACE AddMemorySpace;
  EFI_ALLOCATE_MEMORY_SPACE AllocateMemorySpace;
  EFI_FREE_MEMORY_SPACE FreeMemorySpace;
  EFI_UNUSED_SERVICE RemoveMemorySpace;
  EFI_GET_MEMORY_SPACE_DESCRIPTOR GetMemorySpaceDescriptor;
  EFI_SET_MEMORY_SPACE_ATTRIBUTES SetMemorySpaceAttributes;
  EFI_GET_MEMORY_SPACE_MAP GetMemorySpaceMap;
  EFI_UNUSED_SERVICE AddIoSpace;
  EFI_UNUSED_SERVICE AllocateIoSpace;
  EFI_UNUSED_SERVICE FreeIoSpace;
  EFI_UNUSED_SERVICE RemoveIoSpace;
  EFI_UNUSED_SERVICE GetIoSpaceDescriptor;
  EFI_UNUSED_SERVICE GetIoSpaceMap;
  EFI_UNUSED_SERVICE Dispatch;
  EFI_UNUSED_SERVICE Schedule;
  EFI_UNUSED_SERVICE Trust;
  EFI_UNUSED_SERVICE ProcessFirmwareVolume;
  EFI_UNUSED_SERVICE SetMemorySpaceCapabilities;
} DXE_SERVICES;
typedef DXE_SERVICES EFI_DXE_SERVICES;
static_assert(sizeof(DXE_SERVICES) == 168);
static_assert(OFFSET_OF(DXE_SERVICES, AddMemorySpace) == 0x18);
static_assert(OFFSET_OF(DXE_SERVICES, AllocateMemorySpace) == 0x20);
static_assert(OFFSET_OF(DXE_SERVICES, GetMemorySpaceDescriptor) == 0x38);
static_assert(OFFSET_OF(DXE_SERVICES, SetMemorySpaceAttributes) == 0x40);
static_assert(OFFSET_OF(DXE_SERVICES, GetMemorySpaceMap) == 0x48);
static_assert(OFFSET_OF(DXE_SERVICES, SetMemorySpaceCapabilities) == 0xA0);
