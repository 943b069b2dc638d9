// SPDX-License-Identifier: BSD-2-Clause-Patent
// The fatal stop and the dead loop: what is left when the firmware meets a
// state that cannot occur. Both show their state on POST-code ports.
#include <Base.h>
#include <Library/FatalStopLib.h>
#include <Library/BaseLib.h>
#include <Library/IoLib.h>
#include <Library/TimerLib.h>
#include <HwAccessLib.h>

#define FATAL_STOP_ENABLE 1

#define POST_CODE_PORT 0x80
#define POST_CODE_MARKER_PORT 0xE0
#define DEAD_LOOP_PORT 0xE8

#define FATAL_STOP_MARKER 0xDEAD
#define DISPLAY_WINDOWS 6
#define DISPLAY_WINDOW_MICROSECONDS 2500000

#define DEAD_LOOP_ENTER 0x4C6F6F70 // "Loop"
#define DEAD_LOOP_LEAVE 0x4C456E64 // "LEnd"

UINT16 EFIAPI DebugEnvironmentQuery(VOID) {
  return HwDebugEnvironmentQuery();
}

BOOLEAN EFIAPI PostCodeDisplayLoop(IN UINT32 Code) {
  IoWrite16(POST_CODE_MARKER_PORT, FATAL_STOP_MARKER);
  IoWrite32(POST_CODE_PORT, Code);

  UINT16 Answer = DebugEnvironmentQuery();
  UINT64 Display = LShiftU64(Code, 16) | LShiftU64(FATAL_STOP_MARKER, 48);

  // Scrolls 0xDEAD, the code and 0x0000 past an 8-digit display, a byte at a
  // time; only a debug environment's answer ends it.
  for (;;) {
    if (Answer != 0) {
      return FALSE;
    }
    for (UINTN Window = 0; Window < DISPLAY_WINDOWS; Window++) {
      Display = LRotU64(Display, 8);
      IoWrite32(POST_CODE_PORT, (UINT32)Display);
      MicroSecondDelay(DISPLAY_WINDOW_MICROSECONDS);
    }
    Display = LRotU64(Display, 16);
  }
}

BOOLEAN EFIAPI FatalStop(IN UINT32 Code) {
  if (FATAL_STOP_ENABLE == 0) {
    return TRUE;
  }
  PostCodeDisplayLoop(Code);
  return TRUE;
}

VOID EFIAPI CpuDeadLoop(VOID) {
  volatile UINT64 Index = 0;

  IoWrite32(DEAD_LOOP_PORT, DEAD_LOOP_ENTER);
  // Only a debugger changes Index. The pause keeps a waiting core cool and
  // gives a simulated machine a point to stop the loop.
  while (Index == 0) {
    CpuPause();
  }
  IoWrite32(DEAD_LOOP_PORT, DEAD_LOOP_LEAVE);
}
