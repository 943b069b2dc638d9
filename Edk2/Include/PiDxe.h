// SPDX-License-Identifier: BSD-2-Clause-Patent
// Root include of a PI DXE module.
#pragma once
#include <Uefi.h>
#include <Pi/PiDxeCis.h>
#include <Pi/PiHob.h>
