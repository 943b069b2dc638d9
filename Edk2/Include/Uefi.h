// SPDX-License-Identifier: BSD-2-Clause-Patent
// Root include of a UEFI module.
#pragma once
#include <Uefi/UefiBaseType.h>
#include <Uefi/UefiTables.h>
