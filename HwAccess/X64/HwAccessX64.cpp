// SPDX-License-Identifier: BSD-2-Clause-Patent
// x86-64 instance of the hardware-access primitives, for the UEFI image.
//
// With link-time optimisation these are inlined into their callers, so each
// statement that touches hardware or stops the processor carries a "memory"
// clobber: ordinary loads and stores stay on their side of it (a buffer is
// filled before the port write that sends it, a table is written after the
// configuration access it records, a debugger at the trap sees every store).
#include <HwAccessLib.h>

UINT32 HwIoRead(UINT16 Port, UINT8 Width) {
  UINT32 Value = 0;
  switch (Width) {
  case 1: {
    UINT8 Byte;
    __asm__ __volatile__("inb %w1, %b0" : "=a"(Byte) : "Nd"(Port) : "memory");
    Value = Byte;
    break;
  }
  case 2: {
    UINT16 Word;
    __asm__ __volatile__("inw %w1, %w0" : "=a"(Word) : "Nd"(Port) : "memory");
    Value = Word;
    break;
  }
  default:
    __asm__ __volatile__("inl %w1, %0" : "=a"(Value) : "Nd"(Port) : "memory");
    break;
  }
  return Value;
}

VOID HwIoWrite(UINT16 Port, UINT8 Width, UINT32 Value) {
  switch (Width) {
  case 1:
    __asm__ __volatile__("outb %b0, %w1" : : "a"((UINT8)Value), "Nd"(Port) : "memory");
    break;
  case 2:
    __asm__ __volatile__("outw %w0, %w1" : : "a"((UINT16)Value), "Nd"(Port) : "memory");
    break;
  default:
    __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port) : "memory");
    break;
  }
}

// Plain volatile accesses between compiler barriers.
UINT64 HwMmioRead(UINTN Address, UINT8 Width) {
  UINT64 Value;
  __asm__ __volatile__("" ::: "memory");
  switch (Width) {
  case 1:
    Value = *(volatile UINT8 *)Address;
    break;
  case 2:
    Value = *(volatile UINT16 *)Address;
    break;
  case 4:
    Value = *(volatile UINT32 *)Address;
    break;
  default:
    Value = *(volatile UINT64 *)Address;
    break;
  }
  __asm__ __volatile__("" ::: "memory");
  return Value;
}

VOID HwMmioWrite(UINTN Address, UINT8 Width, UINT64 Value) {
  __asm__ __volatile__("" ::: "memory");
  switch (Width) {
  case 1:
    *(volatile UINT8 *)Address = (UINT8)Value;
    break;
  case 2:
    *(volatile UINT16 *)Address = (UINT16)Value;
    break;
  case 4:
    *(volatile UINT32 *)Address = (UINT32)Value;
    break;
  default:
    *(volatile UINT64 *)Address = Value;
    break;
  }
  __asm__ __volatile__("" ::: "memory");
}

VOID HwCpuid(UINT32 Leaf, UINT32 SubLeaf, UINT32 Registers[4]) {
  __asm__ __volatile__("cpuid"
                       : "=a"(Registers[0]), "=b"(Registers[1]), "=c"(Registers[2]), "=d"(Registers[3])
                       : "a"(Leaf), "c"(SubLeaf)
                       : "memory");
}

UINT64 HwReadMsr(UINT32 Index) {
  UINT32 Low, High;
  __asm__ __volatile__("rdmsr" : "=a"(Low), "=d"(High) : "c"(Index) : "memory");
  return ((UINT64)High << 32) | Low;
}

BOOLEAN HwGetInterruptState(VOID) {
  UINT64 Flags;
  __asm__ __volatile__("pushfq; popq %0" : "=r"(Flags) : : "memory");
  return (Flags & 0x200) != 0 ? TRUE : FALSE;
}

VOID HwDisableInterrupts(VOID) {
  __asm__ __volatile__("cli" ::: "memory");
}
VOID HwEnableInterrupts(VOID) {
  __asm__ __volatile__("sti" ::: "memory");
}
VOID HwBreakpoint(VOID) {
  __asm__ __volatile__("int $3" ::: "memory");
}
VOID HwPause(VOID) {
  __asm__ __volatile__("pause" ::: "memory");
}

UINT16 HwDebugEnvironmentQuery(VOID) {
  UINT64 Si;
  // RBX, RCX, RDX and RSI are preserved by the surrounding push/pop; the
  // flags by pushfq/popfq.
  __asm__ __volatile__("pushfq\n\t"
                       "pushq %%rbx\n\t"
                       "pushq %%rcx\n\t"
                       "pushq %%rdx\n\t"
                       "pushq %%rsi\n\t"
                       "xorl %%esi, %%esi\n\t"
                       "movl $0xBACCD00B, %%eax\n\t"
                       "movq $2, %%rbx\n\t"
                       "cpuid\n\t"
                       "movq %%rsi, %%rax\n\t"
                       "popq %%rsi\n\t"
                       "popq %%rdx\n\t"
                       "popq %%rcx\n\t"
                       "popq %%rbx\n\t"
                       "popfq"
                       : "=a"(Si)
                       :
                       : "memory");
  return (UINT16)Si;
}
