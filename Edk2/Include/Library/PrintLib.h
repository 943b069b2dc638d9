// SPDX-License-Identifier: BSD-2-Clause-Patent
// Formatted output into a caller's buffer.
#pragma once
#include <Base.h>

UINTN EFIAPI AsciiVSPrint(OUT CHAR8 *StartOfBuffer, IN UINTN BufferSize, IN CONST CHAR8 *FormatString,
                          IN VA_LIST Marker);
UINTN EFIAPI AsciiSPrint(OUT CHAR8 *StartOfBuffer, IN UINTN BufferSize, IN CONST CHAR8 *FormatString, ...);
