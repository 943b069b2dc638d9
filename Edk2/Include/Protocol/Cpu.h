// SPDX-License-Identifier: BSD-2-Clause-Patent
// The CPU architectural protocol: only interrupt handler registration is used.
#pragma once
#include <Uefi.h>

inline EFI_GUID gEfiCpuArchProtocolGuid = {
    0x26BACCB1, 0x6F42, 0x11D4, {0xBC, 0xE7, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};

typedef INTN EFI_EXCEPTION_TYPE;
#define EXCEPT_X64_BREAKPOINT 3

typedef union {
  VOID *SystemContextX64;
} EFI_SYSTEM_CONTEXT;

typedef VOID(EFIAPI *EFI_CPU_INTERRUPT_HANDLER)(IN EFI_EXCEPTION_TYPE InterruptType,
                                                IN EFI_SYSTEM_CONTEXT SystemContext);

typedef struct _EFI_CPU_ARCH_PROTOCOL EFI_CPU_ARCH_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_CPU_REGISTER_INTERRUPT_HANDLER)(IN EFI_CPU_ARCH_PROTOCOL *This,
                                                               IN EFI_EXCEPTION_TYPE InterruptType,
                                                               IN EFI_CPU_INTERRUPT_HANDLER InterruptHandler);
struct _EFI_CPU_ARCH_PROTOCOL {
  VOID *FlushDataCache;
  VOID *EnableInterrupt;
  VOID *DisableInterrupt;
  VOID *GetInterruptState;
  VOID *Init;
  EFI_CPU_REGISTER_INTERRUPT_HANDLER RegisterInterruptHandler;
  VOID *GetTimerValue;
  VOID *SetMemoryAttributes;
  UINT32 NumberOfTimers;
  UINT32 DmaBufferAlignment;
};
static_assert(OFFSET_OF(EFI_CPU_ARCH_PROTOCOL, RegisterInterruptHandler) == 0x28);
static_assert(OFFSET_OF(EFI_CPU_ARCH_PROTOCOL, NumberOfTimers) == 0x40);
