// SPDX-License-Identifier: BSD-2-Clause-Patent
// Board work a serial console needs before its UARTs answer.
#pragma once
#include <Base.h>

RETURN_STATUS EFIAPI PlatformHookSerialPortInitialize(VOID);
