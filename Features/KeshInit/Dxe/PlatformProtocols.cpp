// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "PlatformProtocols.h"
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>

BOOLEAN KeshReadAttribute(IN OrvexNvramAttributeProtocol *Nvram, IN CONST CHAR16 *Name, OUT CHAR16 *Value) {
  UINT16 Size = NVRAM_ATTRIBUTE_VALUE_SIZE;
  ZeroMem(Value, NVRAM_ATTRIBUTE_VALUE_SIZE);
  EFI_STATUS Status = Nvram->GetAttribute(Nvram, &gNvramAttributeSetGuid, Name, 0, &Size, Value);
  if (EFI_ERROR(Status)) {
    return FALSE;
  }
  // Never compare past the buffer: an unterminated value is no value.
  for (UINTN Index = 0; Index < NVRAM_ATTRIBUTE_VALUE_SIZE / sizeof(CHAR16); Index++) {
    if (Value[Index] == 0) {
      return TRUE;
    }
  }
  return FALSE;
}

BOOLEAN KeshAttributeIs(IN OrvexNvramAttributeProtocol *Nvram, IN CONST CHAR16 *Name,
                        IN CONST CHAR16 *Expected) {
  CHAR16 Value[NVRAM_ATTRIBUTE_VALUE_SIZE / sizeof(CHAR16)];
  return (KeshReadAttribute(Nvram, Name, Value) && StrCmp(Value, Expected) == 0) ? TRUE : FALSE;
}

EFI_STATUS KeshGetPlatformId(IN VroPlatformIdProtocol *Identity, OUT PlatformIdRecord **Record) {
  *Record = nullptr;
  EFI_STATUS Status = Identity->GetIdPtr(Record);
  // Success without a record breaks the protocol's promise; the status says
  // so rather than claiming the record does not exist.
  if (!EFI_ERROR(Status) && *Record == nullptr) {
    return EFI_PROTOCOL_ERROR;
  }
  return Status;
}
