// SPDX-License-Identifier: BSD-2-Clause-Patent
// OrunS3SaveLib: the S3 save table. Register writes marked for S3 capture
// go to the standard boot-script operation until SMM ready-to-lock, then
// into one table shared by every module that carries this library; at
// Ready to Boot the table is terminated and handed to the SMM replay
// handler. The private data and table layouts are read by that handler,
// so they are a wire format.
#pragma once
#include <Uefi.h>

// Library status of the recording operations (not an EFI_STATUS).
#define ORUN_S3_STATUS_SUCCESS 0
#define ORUN_S3_STATUS_ERROR 5

// Filter flags of the debug-print service.
#define ORUN_S3_PRINT_FILTER 0x4000000000000ULL
#define ORUN_S3_CAPTURE_PRINT_FILTER 0x2000000ULL

// Fatal-stop codes of width codes that cannot occur.
#define ORUN_S3_FATAL_READ_VALUE 0x00090552
#define ORUN_S3_FATAL_SCRIPT_WIDTH 0x00090581

// The processor's PCI memory-mapped configuration control register.
#define ORUN_S3_MMIO_CONFIG_MSR 0xC0010058

// Table constants. The assertion reports quote the signature and the end
// marker after macro expansion, so these spellings are part of the log.
// clang-format off
#define ORUN_S3_TABLE_SIGNATURE SIGNATURE_32 ('O', 'S', '3', 'T')
#define ORUN_S3_TABLE_END_MARKER (0x01558844ul)
// clang-format on
#define ORUN_S3_TABLE_VERSION 1
#define ORUN_S3_TABLE_INITIAL_LENGTH 0x4000
#define ORUN_S3_TABLE_GROWTH 0x400
#define ORUN_S3_TABLE_TERMINATOR 0xFFFF
#define ORUN_S3_ENTRY_IMAGE_SIZE 96
#define ORUN_S3_ENTRY_TYPE_COUNT 10
#define ORUN_S3_ENTRY_MEM_WRITE 3

// Shared by every module carrying the library (through PcdS3SavePrivateData).
typedef struct {
  BOOLEAN BootScriptLocked; // SMM ready-to-lock seen: recording goes to the table
  BOOLEAN TableClosed;      // handed to SMM: nothing is recorded any more
  UINT8 Reserved[6];
  UINT64 TableBase; // 0 until the first entry is recorded
} ORUN_S3_LIB_PRIVATE_DATA;
static_assert(sizeof(ORUN_S3_LIB_PRIVATE_DATA) == 16);
static_assert(OFFSET_OF(ORUN_S3_LIB_PRIVATE_DATA, BootScriptLocked) == 0);
static_assert(OFFSET_OF(ORUN_S3_LIB_PRIVATE_DATA, TableClosed) == 1);
static_assert(OFFSET_OF(ORUN_S3_LIB_PRIVATE_DATA, Reserved) == 2);
static_assert(OFFSET_OF(ORUN_S3_LIB_PRIVATE_DATA, TableBase) == 8);

// The table: this header, the entries from 0x30, free space, all within
// TableLength bytes, then the 32-bit end marker at TableLength.
typedef struct {
  UINT32 Sinature; // spelt as the replay handler's definition spells it
  UINT32 Version;
  UINT8 Reserved[24];
  UINT64 TableLength;
  UINT64 NextOffset;
} ORUN_S3_LIB_TABLE_HEADER;
static_assert(sizeof(ORUN_S3_LIB_TABLE_HEADER) == 0x30);
static_assert(OFFSET_OF(ORUN_S3_LIB_TABLE_HEADER, Sinature) == 0x00);
static_assert(OFFSET_OF(ORUN_S3_LIB_TABLE_HEADER, Version) == 0x04);
static_assert(OFFSET_OF(ORUN_S3_LIB_TABLE_HEADER, Reserved) == 0x08);
static_assert(OFFSET_OF(ORUN_S3_LIB_TABLE_HEADER, TableLength) == 0x20);
static_assert(OFFSET_OF(ORUN_S3_LIB_TABLE_HEADER, NextOffset) == 0x28);

// Entry types 0 to 5: A1 as 32 bits, the rest as 64 bits. Types 0 and 3
// end after A3 (24 bytes), 1 and 4 after A4 (32), 2 and 5 after A5 (40).
typedef struct {
  UINT16 Type;
  UINT16 Reserved;
  UINT32 A1;
  UINT64 A2;
  UINT64 A3;
  UINT64 A4;
  UINT64 A5;
} ORUN_S3_ENTRY_WIDE;
static_assert(OFFSET_OF(ORUN_S3_ENTRY_WIDE, A1) == 4 && OFFSET_OF(ORUN_S3_ENTRY_WIDE, A2) == 8);
static_assert(OFFSET_OF(ORUN_S3_ENTRY_WIDE, A3) == 16 && OFFSET_OF(ORUN_S3_ENTRY_WIDE, A4) == 24);
static_assert(OFFSET_OF(ORUN_S3_ENTRY_WIDE, A5) == 32 && sizeof(ORUN_S3_ENTRY_WIDE) == 40);

// Entry types 6 to 8: A2 kept as its low 16 bits; 6 ends after A4 (32
// bytes), 7 after A5 (40), 8 after A6 (48).
typedef struct {
  UINT16 Type;
  UINT16 Reserved;
  UINT32 A1;
  UINT16 A2;
  UINT8 Reserved2[6];
  UINT64 A3;
  UINT64 A4;
  UINT64 A5;
  UINT64 A6;
} ORUN_S3_ENTRY_NARROW;
static_assert(OFFSET_OF(ORUN_S3_ENTRY_NARROW, A1) == 4 && OFFSET_OF(ORUN_S3_ENTRY_NARROW, A2) == 8);
static_assert(OFFSET_OF(ORUN_S3_ENTRY_NARROW, Reserved2) == 10 && OFFSET_OF(ORUN_S3_ENTRY_NARROW, A3) == 16);
static_assert(OFFSET_OF(ORUN_S3_ENTRY_NARROW, A4) == 24 && OFFSET_OF(ORUN_S3_ENTRY_NARROW, A5) == 32);
static_assert(OFFSET_OF(ORUN_S3_ENTRY_NARROW, A6) == 40 && sizeof(ORUN_S3_ENTRY_NARROW) == 48);

// Entry type 9: nothing at offset 4; A1 and A2 as 64 bits (24 bytes).
typedef struct {
  UINT16 Type;
  UINT8 Reserved[6];
  UINT64 A1;
  UINT64 A2;
} ORUN_S3_ENTRY_PAIR;
static_assert(OFFSET_OF(ORUN_S3_ENTRY_PAIR, A1) == 8 && OFFSET_OF(ORUN_S3_ENTRY_PAIR, A2) == 16);
static_assert(sizeof(ORUN_S3_ENTRY_PAIR) == 24);

// Type 3, the memory-mapped register write this system records.
typedef struct {
  UINT16 Type;
  UINT16 Reserved;
  UINT32 Width; // boot-script width: 0 = 8-bit, 1 = 16, 2 = 32, 3 = 64
  UINT64 Address;
  UINT64 Value; // zero-extended
} ORUN_S3_MEM_WRITE_ENTRY;
static_assert(sizeof(ORUN_S3_MEM_WRITE_ENTRY) == 24);
static_assert(OFFSET_OF(ORUN_S3_MEM_WRITE_ENTRY, Width) == 4);
static_assert(OFFSET_OF(ORUN_S3_MEM_WRITE_ENTRY, Address) == 8);
static_assert(OFFSET_OF(ORUN_S3_MEM_WRITE_ENTRY, Value) == 16);

// The hand-off message in the communication buffer: a PI communicate
// header for the replay handler's GUID, then 16 bytes of data.
inline EFI_GUID gOrunS3SaveCommunicationGuid = {
    0x5C4061F0, 0xD051, 0x4F43, {0xBC, 0x23, 0x5E, 0x5E, 0x89, 0xB3, 0xCE, 0xC0}};
#define ORUN_S3_COMM_REQUEST_REPLAY_TABLE 1

typedef struct {
  UINT32 RequestCode;
  UINT32 Reserved;
  UINT64 PrivateData; // address of the ORUN_S3_LIB_PRIVATE_DATA
} ORUN_S3_SAVE_COMM_DATA;
static_assert(sizeof(ORUN_S3_SAVE_COMM_DATA) == 16);

typedef struct {
  EFI_GUID HeaderGuid;
  UINTN MessageLength; // sizeof (ORUN_S3_SAVE_COMM_DATA)
  ORUN_S3_SAVE_COMM_DATA Data;
} ORUN_S3_SAVE_COMM_MESSAGE;
static_assert(sizeof(ORUN_S3_SAVE_COMM_MESSAGE) == 40);
static_assert(OFFSET_OF(ORUN_S3_SAVE_COMM_MESSAGE, MessageLength) == 16);
static_assert(OFFSET_OF(ORUN_S3_SAVE_COMM_MESSAGE, Data) == 24);
static_assert(OFFSET_OF(ORUN_S3_SAVE_COMM_MESSAGE, Data.PrivateData) == 32);

// Dynamic PCD tokens, defined by each module's AutoGen: the shared private
// data's address (read and written) and the communication buffer (read).
extern const UINTN _PCD_TOKEN_PcdS3SavePrivateData;
extern const UINTN _PCD_TOKEN_PcdS3SaveCommBuffer;

// Recording (library status). The entry type is 16-bit; it is passed as
// UINTN because a variable argument list may not start after a promoted
// type. The arguments after it are 64-bit each, as many as the type takes.
UINT32 EFIAPI S3SaveAppendEntry(IN UINTN EntryType, ...);
VOID EFIAPI S3SaveBuildEntry(IN UINT16 EntryType, IN VA_LIST Marker, OUT UINT8 *EntryImage,
                             OUT UINT64 *EntrySize);
UINT32 EFIAPI S3SaveCheckTable(VOID);
// Width codes 1 to 4 (8 to 64 bits), the capture flag already removed.
UINT32 EFIAPI S3SaveMemWrite(IN UINT32 Width, IN UINT64 Address, IN VOID *Buffer);
UINT32 EFIAPI S3SavePciWrite(IN UINT32 Width, IN UINT64 PciAddress, IN VOID *Buffer);
UINT64 EFIAPI S3SaveReadValue(IN UINT32 Width, IN VOID *Buffer);
UINT32 EFIAPI S3SaveScriptWidth(IN UINT32 Width);
BOOLEAN EFIAPI GetPciMmioAddress(OUT UINT64 *MmioAddress, OUT UINT32 *MmioSize, IN VOID *Reserved OPTIONAL);
VOID EFIAPI S3SaveDebugPrint(IN UINT64 FilterFlags, IN CONST CHAR8 *Format, ...);

// Lifecycle.
EFI_STATUS EFIAPI OrunS3SaveLibConstructor(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI OrunS3SaveLibDestructor(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
VOID EFIAPI S3ScriptLockNotify(IN EFI_EVENT Event, IN VOID *Context);
VOID EFIAPI OrunS3SaveCloseTableCallBack(IN EFI_EVENT Event, IN VOID *Context);
