// SPDX-License-Identifier: BSD-2-Clause-Patent
// Width-coded register access over the PCI library, with the S3 capture
// path for writes that must be replayed on resume.
#include <Base.h>
#include <Library/RegisterAccessLib.h>
#include <Library/OrunS3SaveLib.h>
#include <Library/PciLib.h>
#include <Library/FatalStopLib.h>

#define FATAL_WRITE_WIDTH 0xA10D0142u
#define FATAL_READ_WIDTH 0xA10D0180u
#define FATAL_BYTE_COUNT_WIDTH 0x00010679u

#define S3_CAPTURE_TRACE_FILTER 0x2000000ULL

VOID WritePciRegister(IN UINT32 PciAddress, IN UINT32 WidthCode, IN VOID *Buffer) {
  // Recorded before the write, so a replay holds it even if the write fails.
  if ((INT32)WidthCode >= (INT32)(REGISTER_ACCESS_S3_CAPTURE + REGISTER_ACCESS_WIDTH_8)) {
    S3SavePciWrite(WidthCode - REGISTER_ACCESS_S3_CAPTURE, PciAddress, Buffer);
    S3SaveDebugPrint(S3_CAPTURE_TRACE_FILTER, "  R S3 SAVE Script: Address 0x%08x, Width 0x%08x \n",
                     PciAddress, WidthCode);
  }
  switch (WidthCode) {
  case REGISTER_ACCESS_WIDTH_8:
  case REGISTER_ACCESS_S3_CAPTURE | REGISTER_ACCESS_WIDTH_8:
    PciWrite8(PciAddress, *(UINT8 *)Buffer);
    break;
  case REGISTER_ACCESS_WIDTH_16:
  case REGISTER_ACCESS_S3_CAPTURE | REGISTER_ACCESS_WIDTH_16:
    PciWrite16(PciAddress, *(UINT16 *)Buffer);
    break;
  case REGISTER_ACCESS_WIDTH_32:
  case REGISTER_ACCESS_S3_CAPTURE | REGISTER_ACCESS_WIDTH_32:
    PciWrite32(PciAddress, *(UINT32 *)Buffer);
    break;
  default:
    FatalStop(FATAL_WRITE_WIDTH);
    break;
  }
}

VOID ReadPciRegister(IN UINT32 PciAddress, IN UINT32 WidthCode, OUT VOID *Buffer) {
  switch (WidthCode) {
  case REGISTER_ACCESS_WIDTH_8:
  case REGISTER_ACCESS_S3_CAPTURE | REGISTER_ACCESS_WIDTH_8:
    *(UINT8 *)Buffer = PciRead8(PciAddress);
    break;
  case REGISTER_ACCESS_WIDTH_16:
  case REGISTER_ACCESS_S3_CAPTURE | REGISTER_ACCESS_WIDTH_16:
    *(UINT16 *)Buffer = PciRead16(PciAddress);
    break;
  case REGISTER_ACCESS_WIDTH_32:
  case REGISTER_ACCESS_S3_CAPTURE | REGISTER_ACCESS_WIDTH_32:
    *(UINT32 *)Buffer = PciRead32(PciAddress);
    break;
  default:
    FatalStop(FATAL_READ_WIDTH);
    break;
  }
}

UINT8 GetWidthByteCount(IN UINT32 WidthCode) {
  switch (WidthCode) {
  case REGISTER_ACCESS_WIDTH_8:
  case REGISTER_ACCESS_S3_CAPTURE | REGISTER_ACCESS_WIDTH_8:
    return 1;
  case REGISTER_ACCESS_WIDTH_16:
  case REGISTER_ACCESS_S3_CAPTURE | REGISTER_ACCESS_WIDTH_16:
    return 2;
  case REGISTER_ACCESS_WIDTH_32:
  case REGISTER_ACCESS_S3_CAPTURE | REGISTER_ACCESS_WIDTH_32:
    return 4;
  case REGISTER_ACCESS_WIDTH_64:
  case REGISTER_ACCESS_S3_CAPTURE | REGISTER_ACCESS_WIDTH_64:
    return 8;
  default:
    FatalStop(FATAL_BYTE_COUNT_WIDTH);
    return 0;
  }
}

// The data register lies immediately after the index register.
VOID ReadIndexedPciRegister(IN UINT32 IndexAddress, IN UINT32 IndexValue, IN UINT32 WidthCode,
                            OUT VOID *Buffer) {
  UINT8 ByteCount = GetWidthByteCount(WidthCode);
  WritePciRegister(IndexAddress, WidthCode, &IndexValue);
  ReadPciRegister(IndexAddress + ByteCount, WidthCode, Buffer);
}

VOID WriteIndexedPciRegister(IN UINT32 IndexAddress, IN UINT32 IndexValue, IN UINT32 WidthCode,
                             IN VOID *Buffer) {
  UINT8 ByteCount = GetWidthByteCount(WidthCode);
  WritePciRegister(IndexAddress, WidthCode, &IndexValue);
  WritePciRegister(IndexAddress + ByteCount, WidthCode, Buffer);
}

static UINT32 DieIndexAddress(IN UINT32 Bus) {
  return ((Bus & 0xFF) << 20) | DIE_INDIRECT_INDEX_REGISTER;
}

VOID ReadIndirectRegister(IN UINT32 Bus, IN UINT32 Register, OUT UINT32 *Value) {
  ReadIndexedPciRegister(DieIndexAddress(Bus), Register, REGISTER_ACCESS_WIDTH_32, Value);
}

VOID WriteIndirectRegister(IN UINT32 Bus, IN UINT32 Register, IN UINT32 *Value, IN UINT32 S3Capture) {
  UINT32 WidthCode =
      S3Capture == 1 ? (REGISTER_ACCESS_S3_CAPTURE | REGISTER_ACCESS_WIDTH_32) : REGISTER_ACCESS_WIDTH_32;
  WriteIndexedPciRegister(DieIndexAddress(Bus), Register, WidthCode, Value);
}

VOID UpdateIndirectRegister(IN UINT32 Bus, IN UINT32 Register, IN UINT32 AndMask, IN UINT32 OrValue,
                            IN UINT32 S3Capture) {
  UINT32 Value = 0;
  ReadIndirectRegister(Bus, Register, &Value);
  Value = (Value & AndMask) | OrValue;
  WriteIndirectRegister(Bus, Register, &Value, S3Capture);
}
