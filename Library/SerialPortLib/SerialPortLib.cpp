// SPDX-License-Identifier: BSD-2-Clause-Patent
// The dual serial console: every byte goes to the UART at 0x3F8 and then to
// the one at 0x2F8, both polled, both at the line speed CMOS selects. Each
// call works from the build settings below and from what the hardware
// reports; the one fact kept between calls is which UART was given up.
#include <Base.h>
#include <Library/DualSerialPortLib.h>
#include <Library/IoLib.h>

// Build settings of this instance.
#define SERIAL_REGISTER_BASE 0x3F8
#define SERIAL_LINE_CONTROL 0x03 // 8 data bits, no parity, 1 stop bit
#define SERIAL_FIFO_CONTROL 0x07
#define SERIAL_EXTENDED_TX_FIFO_SIZE 64
#define SERIAL_REGISTER_STRIDE 1
#define SERIAL_USE_MMIO FALSE
#define SERIAL_USE_HARDWARE_FLOW_CONTROL FALSE
// The PCI UART device list is empty (its first byte is the end marker), so
// the register base is always the fixed one and no PCI access is made.
#define SERIAL_PCI_DEVICE_LIST_FIRST 0xFF
static_assert(SERIAL_PCI_DEVICE_LIST_FIRST == 0xFF, "a PCI UART search is not part of this console");

#define LINE_CONTROL_MASK 0x3F
#define FIFO_CONTROL_MASK 0x21
#define B_FIFO_CONTROL_ENABLE 0x01
#define B_FIFO_CONTROL_64_BYTES 0x20
#define UART_FIFO_SIZE 16
#define UART_CLOCK_BAUD 115200

// The console speed: bits 1-2 of CMOS byte 0x6F.
#define CMOS_INDEX_PORT 0x70
#define CMOS_DATA_PORT 0x71
#define CMOS_CONSOLE_SPEED 0x6F
#define CMOS_CONSOLE_SPEED_MASK 0x06

// A UART that never reports what a wait expects is given up after 100 ms,
// measured on the ACPI PM timer, and the console goes on without it. The
// longest a working UART keeps a wait going is a full FIFO and shift
// register draining: 17 characters of up to 12 bits (8 data bits, parity,
// 2 stop bits) at 9600 baud, the slowest speed CMOS can select, is 21.25 ms,
// so the bound leaves a wide margin (an earlier phase's UART at 2400 baud
// still drains within it) while a stuck UART costs the boot 100 ms once
// (see mUartGivenUp). Time rather than a count of status reads: how long a
// port read takes varies by orders of magnitude between machines.
//
// The timer is a 24-bit counter at 3,579,545 Hz that needs no set-up. The
// console reads it itself, through IoLib like its UARTs: the ACPI timer
// library depends on DebugLib, which writes through this console, and its
// constructor runs after this one.
#define PM_TIMER_PORT 0x408
#define PM_TIMER_COUNT_MASK 0x00FFFFFFu
#define UART_WAIT_TICKS 357955u // 100 ms
static_assert((PM_TIMER_PORT & 3) == 0, "IoRead32 asserts alignment, and an assertion would print here");
// A wait first reads only the UART's status, UART_WAIT_UNTIMED_POLLS times:
// a working UART at 115200 baud always answers within them, and the wait
// costs no timer reads. Past them it reads the timer once every
// UART_WAIT_STRIDE status reads and gives up once the bound has passed
// since then: it adds under 0.4% to a long wait, and whatever a port read
// costs, a wait ends within the bound and the two counts of reads.
#define UART_WAIT_UNTIMED_POLLS 4096
#define UART_WAIT_STRIDE 256
// A timer that does not move over this many status reads is not running
// (or not decoded: a floating port reads all ones): the wait gives up then,
// so no wait can run forever.
#define UART_WAIT_STALLED_POLLS 100000

typedef struct {
  UINT32 Elapsed; // timer ticks since the wait's first timer read
  UINT32 Ticks;   // the timer at its last read
  BOOLEAN Timed;  // the timer has been read once
  UINT32 Polls;   // status reads since the last timer read
  UINT32 Stalled; // status reads since the timer last moved
} UART_WAIT;

static CONST UINTN mUartBases[] = {0x3F8, 0x2F8};

// A UART whose wait ran out is not waited for again: each later wait on it
// is one status read, and it is taken back once that read shows what the
// wait expects. Without this a stuck UART would cost every burst the whole
// bound, and a boot's log of several hundred bursts tens of seconds. Set-up
// gives each UART a fresh start: its wait there is a whole one.
static BOOLEAN mUartGivenUp[ARRAY_SIZE(mUartBases)];

UINTN EFIAPI GetSerialRegisterBase(VOID) {
  return SERIAL_REGISTER_BASE;
}

UINT8 EFIAPI SerialPortReadRegister(IN UINTN Base, IN UINTN Offset) {
  if (SERIAL_USE_MMIO) {
    return MmioRead8(Base + Offset * SERIAL_REGISTER_STRIDE);
  }
  return IoRead8(Base + Offset * SERIAL_REGISTER_STRIDE);
}

UINT8 EFIAPI SerialPortWriteRegister(IN UINTN Base, IN UINTN Offset, IN UINT8 Value) {
  if (SERIAL_USE_MMIO) {
    return MmioWrite8(Base + Offset * SERIAL_REGISTER_STRIDE, Value);
  }
  return IoWrite8(Base + Offset * SERIAL_REGISTER_STRIDE, Value);
}

// Without hardware flow control the far end is always ready.
BOOLEAN EFIAPI SerialPortWritable(IN UINTN SerialRegisterBase) {
  (VOID) SerialRegisterBase;
  static_assert(!SERIAL_USE_HARDWARE_FLOW_CONTROL, "hardware flow control is not part of this console");
  return TRUE;
}

// Called after each status read that did not end a wait; FALSE once the
// wait has lasted its bound.
static BOOLEAN WaitGoesOn(IN OUT UART_WAIT *Wait) {
  if (++Wait->Polls < (Wait->Timed ? UART_WAIT_STRIDE : UART_WAIT_UNTIMED_POLLS)) {
    return TRUE;
  }
  UINT32 Now = IoRead32(PM_TIMER_PORT) & PM_TIMER_COUNT_MASK;
  if (!Wait->Timed) {
    Wait->Timed = TRUE;
  } else {
    // A stretch is far shorter than the counter's 4.7-s period, so the
    // masked difference survives a wrap.
    UINT32 Delta = (Now - Wait->Ticks) & PM_TIMER_COUNT_MASK;
    Wait->Elapsed += Delta;
    Wait->Stalled = Delta == 0 ? Wait->Stalled + Wait->Polls : 0;
    if (Wait->Elapsed >= UART_WAIT_TICKS || Wait->Stalled >= UART_WAIT_STALLED_POLLS) {
      return FALSE;
    }
  }
  Wait->Ticks = Now;
  Wait->Polls = 0;
  return TRUE;
}

// Waits until all of Bits are set in the line status; FALSE if the UART
// was given up.
static BOOLEAN WaitForLineStatus(IN UINTN Base, IN UINT8 Bits) {
  UART_WAIT Wait = {};
  do {
    if ((SerialPortReadRegister(Base, R_UART_LSR) & Bits) == Bits) {
      return TRUE;
    }
  } while (WaitGoesOn(&Wait));
  return FALSE;
}

// The same for UART Index, at once FALSE while it stays given up.
static BOOLEAN WaitForUart(IN UINTN Index, IN UINT8 Bits) {
  if (mUartGivenUp[Index]) {
    mUartGivenUp[Index] = (SerialPortReadRegister(mUartBases[Index], R_UART_LSR) & Bits) != Bits;
  } else {
    mUartGivenUp[Index] = !WaitForLineStatus(mUartBases[Index], Bits);
  }
  return !mUartGivenUp[Index];
}

// Waits until the far end of this UART can take a byte; FALSE if given up.
static BOOLEAN WaitForWritable(IN UINTN Base) {
  UART_WAIT Wait = {};
  do {
    if (SerialPortWritable(Base)) {
      return TRUE;
    }
  } while (WaitGoesOn(&Wait));
  return FALSE;
}

// The same for the far end of either UART.
static BOOLEAN WaitForEitherWritable(VOID) {
  UART_WAIT Wait = {};
  do {
    if (SerialPortWritable(mUartBases[0]) || SerialPortWritable(mUartBases[1])) {
      return TRUE;
    }
  } while (WaitGoesOn(&Wait));
  return FALSE;
}

static UINT32 ConsoleBaudRate(VOID) {
  IoWrite8(CMOS_INDEX_PORT, CMOS_CONSOLE_SPEED);
  switch (IoRead8(CMOS_DATA_PORT) & CMOS_CONSOLE_SPEED_MASK) {
  case 0x00:
    return 115200;
  case 0x02:
    return 57600;
  case 0x04:
    return 19200;
  default:
    return 9600;
  }
}

RETURN_STATUS EFIAPI SerialPortInitialize(VOID) {
  RETURN_STATUS Status = PlatformHookSerialPortInitialize();
  if (RETURN_ERROR(Status)) {
    return Status;
  }
  if (GetSerialRegisterBase() == 0) {
    return RETURN_DEVICE_ERROR;
  }

  for (UINTN Index = 0; Index < ARRAY_SIZE(mUartBases); Index++) {
    UINTN Base = mUartBases[Index];
    mUartGivenUp[Index] = FALSE;

    BOOLEAN Initialized = TRUE;
    if ((SerialPortReadRegister(Base, R_UART_LCR) & LINE_CONTROL_MASK) !=
        (SERIAL_LINE_CONTROL & LINE_CONTROL_MASK)) {
      Initialized = FALSE;
    }

    SerialPortWriteRegister(Base, R_UART_LCR,
                            (UINT8)(SerialPortReadRegister(Base, R_UART_LCR) | B_UART_LCR_DLAB));
    UINT32 CurrentDivisor = (UINT32)SerialPortReadRegister(Base, R_UART_DLM) << 8;
    CurrentDivisor |= SerialPortReadRegister(Base, R_UART_DLL);
    SerialPortWriteRegister(Base, R_UART_LCR,
                            (UINT8)(SerialPortReadRegister(Base, R_UART_LCR) & (UINT8)~B_UART_LCR_DLAB));

    UINT32 Divisor = UART_CLOCK_BAUD / ConsoleBaudRate();
    if (CurrentDivisor != Divisor) {
      Initialized = FALSE;
    }

    // Left as it is: output of an earlier boot phase is not disturbed.
    if (Initialized) {
      continue;
    }

    // Anything still being sent goes out at the old settings first.
    (VOID) WaitForUart(Index, B_UART_LSR_TXRDY | B_UART_LSR_TEMT);

    SerialPortWriteRegister(Base, R_UART_LCR, B_UART_LCR_DLAB);
    SerialPortWriteRegister(Base, R_UART_DLM, (UINT8)(Divisor >> 8));
    SerialPortWriteRegister(Base, R_UART_DLL, (UINT8)(Divisor & 0xFF));
    SerialPortWriteRegister(Base, R_UART_LCR, (UINT8)(SERIAL_LINE_CONTROL & LINE_CONTROL_MASK));
    SerialPortWriteRegister(Base, R_UART_FCR, 0x00);
    SerialPortWriteRegister(Base, R_UART_FCR, (UINT8)(SERIAL_FIFO_CONTROL & FIFO_CONTROL_MASK));
    SerialPortWriteRegister(Base, R_UART_MCR, 0x00);
  }
  return RETURN_SUCCESS;
}

UINTN EFIAPI SerialPortWrite(IN UINT8 *Buffer, IN UINTN NumberOfBytes) {
  if (Buffer == nullptr) {
    return 0;
  }
  UINTN SerialRegisterBase = GetSerialRegisterBase();
  if (SerialRegisterBase == 0) {
    return 0;
  }

  // A flush: both transmitters drain.
  if (NumberOfBytes == 0) {
    (VOID) WaitForUart(0, B_UART_LSR_TXRDY | B_UART_LSR_TEMT);
    (VOID) WaitForUart(1, B_UART_LSR_TXRDY | B_UART_LSR_TEMT);
    (VOID) WaitForWritable(mUartBases[0]);
    (VOID) WaitForWritable(mUartBases[1]);
    return 0;
  }

  UINTN FifoSize = 1;
  if ((SERIAL_FIFO_CONTROL & B_FIFO_CONTROL_ENABLE) != 0) {
    FifoSize =
        (SERIAL_FIFO_CONTROL & B_FIFO_CONTROL_64_BYTES) == 0 ? UART_FIFO_SIZE : SERIAL_EXTENDED_TX_FIFO_SIZE;
  }

  UINTN Result = NumberOfBytes;
  while (NumberOfBytes != 0) {
    if ((SerialPortReadRegister(SerialRegisterBase, R_UART_IIR) & B_UART_IIR_FIFOS) == 0) {
      Result = 0;
      break;
    }
    // Both transmitters empty, so a whole burst fits in each FIFO without
    // further status reads; the slower UART sets the pace. A second UART
    // whose FIFOs are still off (one the console has not programmed yet,
    // when a constructor before it reports a failure) holds one byte: each
    // further byte of the burst waits for its holding register, or it would
    // be lost. One that never empties is given up, so it costs no more than
    // one wait, as on the first UART.
    BOOLEAN PaceSecond = (SerialPortReadRegister(mUartBases[1], R_UART_IIR) & B_UART_IIR_FIFOS) == 0;
    (VOID) WaitForUart(0, B_UART_LSR_TEMT);
    PaceSecond = WaitForUart(1, B_UART_LSR_TEMT) && PaceSecond;
    for (UINTN Index = 0; Index < FifoSize && NumberOfBytes != 0; Index++, NumberOfBytes--, Buffer++) {
      if (PaceSecond && Index != 0) {
        PaceSecond = WaitForUart(1, B_UART_LSR_TXRDY);
      }
      (VOID) WaitForEitherWritable();
      SerialPortWriteRegister(mUartBases[0], R_UART_THR, *Buffer);
      SerialPortWriteRegister(mUartBases[1], R_UART_THR, *Buffer);
    }
  }
  return Result;
}
