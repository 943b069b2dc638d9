// SPDX-License-Identifier: BSD-2-Clause-Patent
// The compiler may emit calls to memset and memcpy for structure copies and
// initialisers; a freestanding image has no C library to provide them.
#include <Base.h>

extern "C" void *memset(void *Buffer, int Value, UINTN Length) {
  volatile UINT8 *Bytes = (volatile UINT8 *)Buffer;
  for (UINTN Index = 0; Index < Length; Index++) {
    Bytes[Index] = (UINT8)Value;
  }
  return Buffer;
}

extern "C" void *memcpy(void *Destination, const void *Source, UINTN Length) {
  volatile UINT8 *To = (volatile UINT8 *)Destination;
  const UINT8 *From = (const UINT8 *)Source;
  for (UINTN Index = 0; Index < Length; Index++) {
    To[Index] = From[Index];
  }
  return Destination;
}
