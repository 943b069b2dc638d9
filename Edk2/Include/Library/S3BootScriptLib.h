// SPDX-License-Identifier: BSD-2-Clause-Patent
// The standard S3 boot-script save operations.
#pragma once
#include <Base.h>

typedef enum {
  S3BootScriptWidthUint8,
  S3BootScriptWidthUint16,
  S3BootScriptWidthUint32,
  S3BootScriptWidthUint64
} S3_BOOT_SCRIPT_LIB_WIDTH;

RETURN_STATUS EFIAPI S3BootScriptSaveMemWrite(IN S3_BOOT_SCRIPT_LIB_WIDTH Width, IN UINT64 Address,
                                              IN UINTN Count, IN VOID *Buffer);
