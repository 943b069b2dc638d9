// SPDX-License-Identifier: BSD-2-Clause-Patent
// PI SMM Communication protocol: hands a buffer to the SMM handler that
// registered for the GUID at its start, and returns when SMM is done with it.
#pragma once
#include <Uefi.h>

inline EFI_GUID gEfiSmmCommunicationProtocolGuid = {
    0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}};

typedef struct _EFI_SMM_COMMUNICATION_PROTOCOL EFI_SMM_COMMUNICATION_PROTOCOL;

// The start of every communication buffer: the handler's GUID and the
// length of the data that follows.
typedef struct {
  EFI_GUID HeaderGuid;
  UINTN MessageLength;
  UINT8 Data[1];
} EFI_SMM_COMMUNICATE_HEADER;
static_assert(OFFSET_OF(EFI_SMM_COMMUNICATE_HEADER, MessageLength) == 16);
static_assert(OFFSET_OF(EFI_SMM_COMMUNICATE_HEADER, Data) == 24);

typedef EFI_STATUS(EFIAPI *EFI_SMM_COMMUNICATE2)(IN CONST EFI_SMM_COMMUNICATION_PROTOCOL *This,
                                                 IN OUT VOID *CommBuffer, IN OUT UINTN *CommSize OPTIONAL);

struct _EFI_SMM_COMMUNICATION_PROTOCOL {
  EFI_SMM_COMMUNICATE2 Communicate;
};
static_assert(OFFSET_OF(EFI_SMM_COMMUNICATION_PROTOCOL, Communicate) == 0);
