// SPDX-License-Identifier: BSD-2-Clause-Patent
// The silicon vendor's debug-print service. Its provider decides from the
// filter flags whether and where a line is printed.
#pragma once
#include <Uefi.h>

inline EFI_GUID gDebugPrintSvcProtocolGuid = {
    0x669ED5B1, 0x49A3, 0x4C59, {0x9D, 0x2D, 0x04, 0x32, 0xAD, 0x6C, 0xDB, 0x61}};

// The argument list crosses an image boundary, so it is the Microsoft x64
// form of Base.h's VA_LIST.
typedef VOID(EFIAPI *DEBUG_PRINT_SVC_PRINT)(IN UINT64 FilterFlags, IN CONST CHAR8 *Format, IN VA_LIST Marker);

typedef struct {
  DEBUG_PRINT_SVC_PRINT DebugPrint;
} DebugPrintSvcProtocol;
static_assert(OFFSET_OF(DebugPrintSvcProtocol, DebugPrint) == 0);
