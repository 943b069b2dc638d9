// SPDX-License-Identifier: BSD-2-Clause-Patent
// The EDK II PCD protocol: dynamic platform configuration by token number.
#pragma once
#include <Uefi.h>

inline EFI_GUID gPcdProtocolGuid = {
    0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};

typedef VOID(EFIAPI *PCD_PROTOCOL_SET_SKU)(IN UINTN SkuId);
typedef UINT8(EFIAPI *PCD_PROTOCOL_GET8)(IN UINTN TokenNumber);
typedef UINT16(EFIAPI *PCD_PROTOCOL_GET16)(IN UINTN TokenNumber);
typedef UINT32(EFIAPI *PCD_PROTOCOL_GET32)(IN UINTN TokenNumber);
typedef UINT64(EFIAPI *PCD_PROTOCOL_GET64)(IN UINTN TokenNumber);
typedef VOID *(EFIAPI *PCD_PROTOCOL_GET_POINTER)(IN UINTN TokenNumber);
typedef BOOLEAN(EFIAPI *PCD_PROTOCOL_GET_BOOLEAN)(IN UINTN TokenNumber);
typedef UINTN(EFIAPI *PCD_PROTOCOL_GET_SIZE)(IN UINTN TokenNumber);
typedef UINT8(EFIAPI *PCD_PROTOCOL_GET_EX_8)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef UINT16(EFIAPI *PCD_PROTOCOL_GET_EX_16)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef UINT32(EFIAPI *PCD_PROTOCOL_GET_EX_32)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef UINT64(EFIAPI *PCD_PROTOCOL_GET_EX_64)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef VOID *(EFIAPI *PCD_PROTOCOL_GET_EX_POINTER)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef BOOLEAN(EFIAPI *PCD_PROTOCOL_GET_EX_BOOLEAN)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef UINTN(EFIAPI *PCD_PROTOCOL_GET_EX_SIZE)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET8)(IN UINTN TokenNumber, IN UINT8 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET16)(IN UINTN TokenNumber, IN UINT16 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET32)(IN UINTN TokenNumber, IN UINT32 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET64)(IN UINTN TokenNumber, IN UINT64 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_POINTER)(IN UINTN TokenNumber, IN OUT UINTN *SizeOfBuffer,
                                                     IN VOID *Buffer);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_BOOLEAN)(IN UINTN TokenNumber, IN BOOLEAN Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_EX_8)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber,
                                                  IN UINT8 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_EX_16)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber,
                                                   IN UINT16 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_EX_32)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber,
                                                   IN UINT32 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_EX_64)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber,
                                                   IN UINT64 Value);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_EX_POINTER)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber,
                                                        IN OUT UINTN *SizeOfBuffer, IN VOID *Buffer);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_SET_EX_BOOLEAN)(IN CONST EFI_GUID *Guid, IN UINTN TokenNumber,
                                                        IN BOOLEAN Value);
typedef VOID(EFIAPI *PCD_PROTOCOL_CALLBACK)(IN CONST EFI_GUID *CallBackGuid OPTIONAL, IN UINTN CallBackToken,
                                            IN OUT VOID *TokenData, IN UINTN TokenDataSize);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_CALLBACK_ONSET)(IN CONST EFI_GUID *Guid OPTIONAL,
                                                        IN UINTN TokenNumber,
                                                        IN PCD_PROTOCOL_CALLBACK CallBackFunction);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_CANCEL_CALLBACK)(IN CONST EFI_GUID *Guid OPTIONAL,
                                                         IN UINTN TokenNumber,
                                                         IN PCD_PROTOCOL_CALLBACK CallBackFunction);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_GET_NEXT_TOKEN)(IN CONST EFI_GUID *Guid OPTIONAL,
                                                        IN OUT UINTN *TokenNumber);
typedef EFI_STATUS(EFIAPI *PCD_PROTOCOL_GET_NEXT_TOKENSPACE)(IN OUT CONST EFI_GUID **Guid);

typedef struct {
  PCD_PROTOCOL_SET_SKU SetSku;
  PCD_PROTOCOL_GET8 Get8;
  PCD_PROTOCOL_GET16 Get16;
  PCD_PROTOCOL_GET32 Get32;
  PCD_PROTOCOL_GET64 Get64;
  PCD_PROTOCOL_GET_POINTER GetPtr;
  PCD_PROTOCOL_GET_BOOLEAN GetBool;
  PCD_PROTOCOL_GET_SIZE GetSize;
  PCD_PROTOCOL_GET_EX_8 Get8Ex;
  PCD_PROTOCOL_GET_EX_16 Get16Ex;
  PCD_PROTOCOL_GET_EX_32 Get32Ex;
  PCD_PROTOCOL_GET_EX_64 Get64Ex;
  PCD_PROTOCOL_GET_EX_POINTER GetPtrEx;
  PCD_PROTOCOL_GET_EX_BOOLEAN GetBoolEx;
  PCD_PROTOCOL_GET_EX_SIZE GetSizeEx;
  PCD_PROTOCOL_SET8 Set8;
  PCD_PROTOCOL_SET16 Set16;
  PCD_PROTOCOL_SET32 Set32;
  PCD_PROTOCOL_SET64 Set64;
  PCD_PROTOCOL_SET_POINTER SetPtr;
  PCD_PROTOCOL_SET_BOOLEAN SetBool;
  PCD_PROTOCOL_SET_EX_8 Set8Ex;
  PCD_PROTOCOL_SET_EX_16 Set16Ex;
  PCD_PROTOCOL_SET_EX_32 Set32Ex;
  PCD_PROTOCOL_SET_EX_64 Set64Ex;
  PCD_PROTOCOL_SET_EX_POINTER SetPtrEx;
  PCD_PROTOCOL_SET_EX_BOOLEAN SetBoolEx;
  PCD_PROTOCOL_CALLBACK_ONSET CallbackOnSet;
  PCD_PROTOCOL_CANCEL_CALLBACK CancelCallback;
  PCD_PROTOCOL_GET_NEXT_TOKEN GetNextToken;
  PCD_PROTOCOL_GET_NEXT_TOKENSPACE GetNextTokenSpace;
} PCD_PROTOCOL;
static_assert(sizeof(PCD_PROTOCOL) == 31 * 8);
static_assert(OFFSET_OF(PCD_PROTOCOL, Get64) == 0x20);
static_assert(OFFSET_OF(PCD_PROTOCOL, Set8) == 0x78);
static_assert(OFFSET_OF(PCD_PROTOCOL, Set64) == 0x90);
static_assert(OFFSET_OF(PCD_PROTOCOL, GetNextTokenSpace) == 30 * 8);
