// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once
#include <Base.h>

RETURN_STATUS EFIAPI SerialPortInitialize(VOID);
UINTN EFIAPI SerialPortWrite(IN UINT8 *Buffer, IN UINTN NumberOfBytes);
