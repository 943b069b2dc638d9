// SPDX-License-Identifier: BSD-2-Clause-Patent
// Dynamic PCD access by token number. A module defines _PCD_TOKEN_<Name>
// for each token it uses.
#pragma once
#include <Uefi.h>

#define PcdGet8(TokenName) LibPcdGet8(_PCD_TOKEN_##TokenName)
#define PcdGet16(TokenName) LibPcdGet16(_PCD_TOKEN_##TokenName)
#define PcdGet32(TokenName) LibPcdGet32(_PCD_TOKEN_##TokenName)
#define PcdGet64(TokenName) LibPcdGet64(_PCD_TOKEN_##TokenName)
#define PcdSet8S(TokenName, Value) LibPcdSet8S(_PCD_TOKEN_##TokenName, (Value))
#define PcdSet64S(TokenName, Value) LibPcdSet64S(_PCD_TOKEN_##TokenName, (Value))

UINT8 EFIAPI LibPcdGet8(IN UINTN TokenNumber);
UINT16 EFIAPI LibPcdGet16(IN UINTN TokenNumber);
UINT32 EFIAPI LibPcdGet32(IN UINTN TokenNumber);
UINT64 EFIAPI LibPcdGet64(IN UINTN TokenNumber);
RETURN_STATUS EFIAPI LibPcdSet8S(IN UINTN TokenNumber, IN UINT8 Value);
RETURN_STATUS EFIAPI LibPcdSet16S(IN UINTN TokenNumber, IN UINT16 Value);
RETURN_STATUS EFIAPI LibPcdSet32S(IN UINTN TokenNumber, IN UINT32 Value);
RETURN_STATUS EFIAPI LibPcdSet64S(IN UINTN TokenNumber, IN UINT64 Value);
