// SPDX-License-Identifier: BSD-2-Clause-Patent
// The no-op boot script: nothing is saved, every request succeeds.
#include <Library/S3BootScriptLib.h>

RETURN_STATUS EFIAPI S3BootScriptSaveMemWrite(IN S3_BOOT_SCRIPT_LIB_WIDTH Width, IN UINT64 Address,
                                              IN UINTN Count, IN VOID *Buffer) {
  (VOID) Width;
  (VOID) Address;
  (VOID) Count;
  (VOID) Buffer;
  return RETURN_SUCCESS;
}
