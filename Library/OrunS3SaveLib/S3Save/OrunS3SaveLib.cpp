// SPDX-License-Identifier: BSD-2-Clause-Patent
// OrunS3SaveLib: recording into the S3 save table, its checks, the PCI
// window, the library's print routine, and its lifecycle: the shared
// private data, the ready-to-lock switch and the hand-off to SMM.
#include <PiDxe.h>
#include <Protocol/DebugPrintSvc.h>
#include <Protocol/DxeSmmReadyToLock.h>
#include <Protocol/SmmCommunication.h>
#include <Guid/EventGroup.h>
#include <Library/OrunS3SaveLib.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/FatalStopLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PcdLib.h>
#include <Library/S3BootScriptLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>

// This module's view of the shared state; null until the constructor
// finished (and in a module whose constructor failed).
static ORUN_S3_LIB_PRIVATE_DATA *mOrunS3LibPrivateData = nullptr;
// The private data this module created, for the ready-to-lock notify: it
// can run inside the constructor, before mOrunS3LibPrivateData is set.
static ORUN_S3_LIB_PRIVATE_DATA *mS3ScriptLockTarget = nullptr;

// The PCI memory-mapped configuration window; both stay 0 when it is off.
static UINT64 mMMIOAddress = 0;
static UINT32 mMMIOSize = 0;

static DebugPrintSvcProtocol *mDebugPrintSvc = nullptr;

static EFI_EVENT mS3ScriptLockEvent = nullptr;
static EFI_EVENT mCloseTableEvent = nullptr;
// A notify closes its own event; the destructor must not close it again.
static BOOLEAN mS3ScriptLockEventClosed = FALSE;
static BOOLEAN mCloseTableEventClosed = FALSE;

// Size of each entry type; index = type.
static CONST UINT8 mEntrySize[ORUN_S3_ENTRY_TYPE_COUNT] = {24, 32, 40, 24, 32, 40, 32, 40, 48, 24};

static ORUN_S3_LIB_TABLE_HEADER *TableHeader(VOID) {
  return (ORUN_S3_LIB_TABLE_HEADER *)(UINTN)mOrunS3LibPrivateData->TableBase;
}

static VOID WriteEndMarker(ORUN_S3_LIB_TABLE_HEADER *Header) {
  UINT32 Marker = ORUN_S3_TABLE_END_MARKER;
  CopyMem((UINT8 *)Header + Header->TableLength, &Marker, sizeof(Marker));
}

VOID EFIAPI S3SaveDebugPrint(IN UINT64 FilterFlags, IN CONST CHAR8 *Format, ...) {
  if (mDebugPrintSvc == nullptr) {
    DebugPrintSvcProtocol *Service = nullptr;
    if (gBS == nullptr) {
      return;
    }
    EFI_STATUS Status = gBS->LocateProtocol(&gDebugPrintSvcProtocolGuid, nullptr, (VOID **)&Service);
    // Not there yet: print nothing; the next print asks again.
    if (EFI_ERROR(Status) || Service == nullptr) {
      return;
    }
    mDebugPrintSvc = Service;
  }
  VA_LIST Marker;
  VA_START(Marker, Format);
  mDebugPrintSvc->DebugPrint(FilterFlags, Format, Marker);
  VA_END(Marker);
}

UINT64 EFIAPI S3SaveReadValue(IN UINT32 Width, IN VOID *Buffer) {
  UINT64 Value = 0;
  // Byte copies: the caller's buffer need not be aligned.
  switch (Width) {
  case 1:
    CopyMem(&Value, Buffer, 1);
    break;
  case 2:
    CopyMem(&Value, Buffer, 2);
    break;
  case 3:
    CopyMem(&Value, Buffer, 4);
    break;
  case 4:
    CopyMem(&Value, Buffer, 8);
    break;
  default:
    FatalStop(ORUN_S3_FATAL_READ_VALUE);
    return 0;
  }
  return Value;
}

UINT32 EFIAPI S3SaveScriptWidth(IN UINT32 Width) {
  switch (Width) {
  case 1:
    return S3BootScriptWidthUint8;
  case 2:
    return S3BootScriptWidthUint16;
  case 3:
    return S3BootScriptWidthUint32;
  case 4:
    return S3BootScriptWidthUint64;
  default:
    FatalStop(ORUN_S3_FATAL_SCRIPT_WIDTH);
    return 0;
  }
}

BOOLEAN EFIAPI GetPciMmioAddress(OUT UINT64 *MmioAddress, OUT UINT32 *MmioSize, IN VOID *Reserved OPTIONAL) {
  (VOID) Reserved;
  UINT64 Msr = AsmReadMsr64(ORUN_S3_MMIO_CONFIG_MSR);
  if ((Msr & BIT0) == 0) {
    return FALSE;
  }
  *MmioAddress = Msr & ~(UINT64)0xFFFFF;
  UINT32 BusBits = (UINT32)((Msr & 0x3C) >> 2);
  // One MiB per bus; kept to 32 bits as the replay handler's field is.
  *MmioSize = (UINT32)((1u << BusBits) * 0x100000u);
  return TRUE;
}

VOID EFIAPI S3SaveBuildEntry(IN UINT16 EntryType, IN VA_LIST Marker, OUT UINT8 *EntryImage,
                             OUT UINT64 *EntrySize) {
  *(UINT16 *)EntryImage = EntryType;
  switch (EntryType) {
  case 0:
  case 1:
  case 2:
  case 3:
  case 4:
  case 5: {
    ORUN_S3_ENTRY_WIDE *Entry = (ORUN_S3_ENTRY_WIDE *)EntryImage;
    UINTN Extra = EntryType % 3; // 0: up to A3, 1: up to A4, 2: up to A5
    Entry->A1 = (UINT32)VA_ARG(Marker, UINT64);
    Entry->A2 = VA_ARG(Marker, UINT64);
    Entry->A3 = VA_ARG(Marker, UINT64);
    if (Extra >= 1) {
      Entry->A4 = VA_ARG(Marker, UINT64);
    }
    if (Extra >= 2) {
      Entry->A5 = VA_ARG(Marker, UINT64);
    }
    break;
  }
  case 6:
  case 7:
  case 8: {
    ORUN_S3_ENTRY_NARROW *Entry = (ORUN_S3_ENTRY_NARROW *)EntryImage;
    Entry->A1 = (UINT32)VA_ARG(Marker, UINT64);
    Entry->A2 = (UINT16)VA_ARG(Marker, UINT64);
    Entry->A3 = VA_ARG(Marker, UINT64);
    Entry->A4 = VA_ARG(Marker, UINT64);
    if (EntryType >= 7) {
      Entry->A5 = VA_ARG(Marker, UINT64);
    }
    if (EntryType == 8) {
      Entry->A6 = VA_ARG(Marker, UINT64);
    }
    break;
  }
  case 9: {
    ORUN_S3_ENTRY_PAIR *Entry = (ORUN_S3_ENTRY_PAIR *)EntryImage;
    Entry->A1 = VA_ARG(Marker, UINT64);
    Entry->A2 = VA_ARG(Marker, UINT64);
    break;
  }
  default:
    ASSERT(0);
    return;
  }
  *EntrySize = mEntrySize[EntryType];
}

UINT32 EFIAPI S3SaveCheckTable(VOID) {
  ORUN_S3_LIB_TABLE_HEADER *OrunS3LibTblHdr = TableHeader();
  if (OrunS3LibTblHdr->Sinature != ORUN_S3_TABLE_SIGNATURE) {
    ASSERT(OrunS3LibTblHdr->Sinature == ORUN_S3_TABLE_SIGNATURE);
    S3SaveDebugPrint(ORUN_S3_PRINT_FILTER, "OrunS3Lib table Signature check fail\n");
    return ORUN_S3_STATUS_ERROR;
  }
  // clang-format off
  if (*((UINT32 *) (mOrunS3LibPrivateData->TableBase + OrunS3LibTblHdr->TableLength)) != ORUN_S3_TABLE_END_MARKER) {
    ASSERT(*((UINT32 *) (mOrunS3LibPrivateData->TableBase + OrunS3LibTblHdr->TableLength)) == ORUN_S3_TABLE_END_MARKER);
    // clang-format on
    S3SaveDebugPrint(ORUN_S3_PRINT_FILTER, "OrunS3Lib table boundary check fail\n");
    return ORUN_S3_STATUS_ERROR;
  }
  // A next offset outside the data area would make the next append write
  // past the table.
  BOOLEAN NextOffsetInDataArea = OrunS3LibTblHdr->NextOffset >= sizeof(ORUN_S3_LIB_TABLE_HEADER) &&
                                 OrunS3LibTblHdr->NextOffset <= OrunS3LibTblHdr->TableLength - 2;
  if (!NextOffsetInDataArea) {
    ASSERT(NextOffsetInDataArea);
    S3SaveDebugPrint(ORUN_S3_PRINT_FILTER, "OrunS3Lib table boundary check fail\n");
    return ORUN_S3_STATUS_ERROR;
  }
  return ORUN_S3_STATUS_SUCCESS;
}

UINT32 EFIAPI S3SaveAppendEntry(IN UINTN EntryType, ...) {
  // A module whose constructor failed has no shared state to record into.
  if (mOrunS3LibPrivateData == nullptr) {
    return ORUN_S3_STATUS_ERROR;
  }
  if (mOrunS3LibPrivateData->BootScriptLocked != 1 || mOrunS3LibPrivateData->TableClosed != 0) {
    return ORUN_S3_STATUS_SUCCESS;
  }

  if (mOrunS3LibPrivateData->TableBase == 0) {
    ORUN_S3_LIB_TABLE_HEADER *OrunS3LibTblHdr =
        (ORUN_S3_LIB_TABLE_HEADER *)AllocateRuntimeZeroPool(ORUN_S3_TABLE_INITIAL_LENGTH + sizeof(UINT32));
    if (OrunS3LibTblHdr == nullptr) {
      ASSERT(OrunS3LibTblHdr != NULL);
      S3SaveDebugPrint(ORUN_S3_PRINT_FILTER, "OrunS3Lib table allocate fail\n");
      return ORUN_S3_STATUS_ERROR;
    }
    mOrunS3LibPrivateData->TableBase = (UINT64)(UINTN)OrunS3LibTblHdr;
    OrunS3LibTblHdr->Sinature = ORUN_S3_TABLE_SIGNATURE;
    OrunS3LibTblHdr->Version = ORUN_S3_TABLE_VERSION;
    OrunS3LibTblHdr->TableLength = ORUN_S3_TABLE_INITIAL_LENGTH;
    OrunS3LibTblHdr->NextOffset = sizeof(ORUN_S3_LIB_TABLE_HEADER);
    WriteEndMarker(OrunS3LibTblHdr);
  }

  if (S3SaveCheckTable() != ORUN_S3_STATUS_SUCCESS) {
    return ORUN_S3_STATUS_ERROR;
  }

  UINT64 EntryImage[ORUN_S3_ENTRY_IMAGE_SIZE / sizeof(UINT64)];
  UINT64 EntrySize = 0;
  ZeroMem(EntryImage, sizeof(EntryImage));
  VA_LIST Marker;
  VA_START(Marker, EntryType);
  S3SaveBuildEntry((UINT16)EntryType, Marker, (UINT8 *)EntryImage, &EntrySize);
  VA_END(Marker);
  if (EntrySize == 0) {
    return ORUN_S3_STATUS_SUCCESS;
  }

  ORUN_S3_LIB_TABLE_HEADER *Header = TableHeader();
  if (Header->TableLength < Header->NextOffset + EntrySize + 2) {
    UINTN NewSize = (UINTN)Header->TableLength + ORUN_S3_TABLE_GROWTH + sizeof(UINT32);
    ORUN_S3_LIB_TABLE_HEADER *TableData = (ORUN_S3_LIB_TABLE_HEADER *)AllocateRuntimeZeroPool(NewSize);
    if (TableData == nullptr) {
      ASSERT(TableData != NULL);
      S3SaveDebugPrint(ORUN_S3_PRINT_FILTER, "OrunS3SaveLib allocate new Pool fail %x\n", NewSize);
      return ORUN_S3_STATUS_ERROR;
    }
    // The old end marker stays behind: it is not part of the data area.
    CopyMem(TableData, Header, (UINTN)Header->TableLength);
    FreePool(Header);
    mOrunS3LibPrivateData->TableBase = (UINT64)(UINTN)TableData;
    TableData->TableLength += ORUN_S3_TABLE_GROWTH;
    WriteEndMarker(TableData);
    Header = TableData;
  }

  CopyMem((UINT8 *)Header + Header->NextOffset, EntryImage, (UINTN)EntrySize);
  Header->NextOffset += EntrySize;
  return ORUN_S3_STATUS_SUCCESS;
}

static BOOLEAN ValidWidth(UINT32 Width) {
  return Width >= 1 && Width <= 4;
}

UINT32 EFIAPI S3SaveMemWrite(IN UINT32 Width, IN UINT64 Address, IN VOID *Buffer) {
  if (mOrunS3LibPrivateData == nullptr) {
    return ORUN_S3_STATUS_ERROR;
  }
  if (mOrunS3LibPrivateData->BootScriptLocked == 0) {
    UINT32 ScriptWidth = S3SaveScriptWidth(Width);
    // A fatal stop that returned leaves no width to save the write with.
    if (!ValidWidth(Width)) {
      return ORUN_S3_STATUS_ERROR;
    }
    RETURN_STATUS Status =
        S3BootScriptSaveMemWrite((S3_BOOT_SCRIPT_LIB_WIDTH)ScriptWidth, Address, 1, Buffer);
    return Status == RETURN_SUCCESS ? ORUN_S3_STATUS_SUCCESS : ORUN_S3_STATUS_ERROR;
  }
  // The value is fetched before the width is converted.
  UINT64 Value = S3SaveReadValue(Width, Buffer);
  UINT32 ScriptWidth = S3SaveScriptWidth(Width);
  // Recording a made-up write would replay it on resume.
  if (!ValidWidth(Width)) {
    return ORUN_S3_STATUS_ERROR;
  }
  return S3SaveAppendEntry(ORUN_S3_ENTRY_MEM_WRITE, (UINT64)ScriptWidth, Address, Value);
}

// Bytes of the window that addresses can reach: its size, cut where the
// address space ends. A size of 0 is a bus count of 2^12 or more whose size
// did not fit 32 bits: a window that holds every bus.
static UINT64 ReachableWindowLength(VOID) {
  UINT64 Length = mMMIOSize != 0 ? (UINT64)mMMIOSize : MAX_UINT64;
  UINT64 ToTop = (MAX_UINT64 - mMMIOAddress) + 1; // the base is not 0 here
  return Length < ToTop ? Length : ToTop;
}

UINT32 EFIAPI S3SavePciWrite(IN UINT32 Width, IN UINT64 PciAddress, IN VOID *Buffer) {
  UINT64 Offset = PciAddress & 0x0FFFFFFF;
  // Without the window (a base of 0 would overlay system memory), past its
  // last bus, or wrapped past the top of the address space, the address
  // names memory, not a register, and the replay would write there.
  if (mMMIOAddress == 0) {
    return ORUN_S3_STATUS_ERROR;
  }
  UINT64 Bytes = ValidWidth(Width) ? (UINT64)1 << (Width - 1) : 1;
  if (Offset + Bytes > ReachableWindowLength()) {
    return ORUN_S3_STATUS_ERROR;
  }
  return S3SaveMemWrite(Width, Offset + mMMIOAddress, Buffer);
}

VOID EFIAPI S3ScriptLockNotify(IN EFI_EVENT Event, IN VOID *Context) {
  (VOID) Context;
  VOID *Interface = nullptr;
  EFI_STATUS Status = gBS->LocateProtocol(&gEfiDxeSmmReadyToLockProtocolGuid, nullptr, &Interface);
  if (EFI_ERROR(Status)) {
    return;
  }
  if (Event != nullptr) {
    gBS->CloseEvent(Event);
    mS3ScriptLockEventClosed = TRUE;
  }
  if (mS3ScriptLockTarget != nullptr) {
    mS3ScriptLockTarget->BootScriptLocked = 1;
  }
}

VOID EFIAPI OrunS3SaveCloseTableCallBack(IN EFI_EVENT Event, IN VOID *Context) {
  (VOID) Context;
  if (Event != nullptr) {
    mCloseTableEventClosed = gBS->CloseEvent(Event) == EFI_SUCCESS ? TRUE : FALSE;
  }
  // The table went to SMM and was freed: an event that would not close
  // must not hand it off, write into it or free it again.
  if (mOrunS3LibPrivateData != nullptr && mOrunS3LibPrivateData->TableClosed != 0) {
    return;
  }
  S3SaveDebugPrint(ORUN_S3_PRINT_FILTER, "OrunS3SaveCloseTableCallBack\n");
  if (mOrunS3LibPrivateData == nullptr || mOrunS3LibPrivateData->TableBase == 0) {
    S3SaveDebugPrint(ORUN_S3_PRINT_FILTER, "mOrunS3LibPrivateData is NULL\n");
    return;
  }
  if (S3SaveCheckTable() != ORUN_S3_STATUS_SUCCESS) {
    return;
  }
  ORUN_S3_LIB_TABLE_HEADER *Header = TableHeader();
  UINT16 Terminator = ORUN_S3_TABLE_TERMINATOR;
  CopyMem((UINT8 *)Header + Header->NextOffset, &Terminator, sizeof(Terminator));

  VOID *Buffer = (VOID *)(UINTN)PcdGet64(PcdS3SaveCommBuffer);
  if (Buffer == nullptr) {
    ASSERT(Buffer != NULL);
    return;
  }
  ORUN_S3_SAVE_COMM_MESSAGE *Message = (ORUN_S3_SAVE_COMM_MESSAGE *)Buffer;
  ZeroMem(Message, sizeof(*Message));
  CopyGuid(&Message->HeaderGuid, &gOrunS3SaveCommunicationGuid);
  Message->MessageLength = sizeof(ORUN_S3_SAVE_COMM_DATA);
  Message->Data.RequestCode = ORUN_S3_COMM_REQUEST_REPLAY_TABLE;
  Message->Data.PrivateData = (UINT64)(UINTN)mOrunS3LibPrivateData;

  EFI_SMM_COMMUNICATION_PROTOCOL *SmmCommunication = nullptr;
  EFI_STATUS Status =
      gBS->LocateProtocol(&gEfiSmmCommunicationProtocolGuid, nullptr, (VOID **)&SmmCommunication);
  ASSERT(Status == EFI_SUCCESS);
  if (SmmCommunication == nullptr) {
    S3SaveDebugPrint(ORUN_S3_PRINT_FILTER, "OrunS3SaveLib locate SmmCommunicationProtocol fail \n");
    return;
  }
  UINTN CommSize = sizeof(ORUN_S3_SAVE_COMM_MESSAGE);
  SmmCommunication->Communicate(SmmCommunication, Buffer, &CommSize);

  // The handler copied what it replays during the call.
  mOrunS3LibPrivateData->TableClosed = 1;
  FreePool(Header);
}

EFI_STATUS EFIAPI OrunS3SaveLibConstructor(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
  // All of this module's state starts here: nothing until it is set below.
  mOrunS3LibPrivateData = nullptr;
  mS3ScriptLockTarget = nullptr;
  mS3ScriptLockEvent = nullptr;
  mCloseTableEvent = nullptr;
  UINT64 Shared = PcdGet64(PcdS3SavePrivateData);

  // Exactly one read of the window, whether or not assertions are enabled.
  if (DebugAssertEnabled()) {
    // clang-format off
    ASSERT(GetPciMmioAddress (&mMMIOAddress, &mMMIOSize, NULL) == 1);
    // clang-format on
  } else {
    GetPciMmioAddress(&mMMIOAddress, &mMMIOSize, nullptr);
  }

  if (Shared == 0) {
    S3SaveDebugPrint(ORUN_S3_PRINT_FILTER, "OrunS3LibPrivateData allocation\n");
    ORUN_S3_LIB_PRIVATE_DATA *OrunS3LibPrivateData =
        (ORUN_S3_LIB_PRIVATE_DATA *)AllocateRuntimeZeroPool(sizeof(ORUN_S3_LIB_PRIVATE_DATA));
    if (OrunS3LibPrivateData == nullptr) {
      ASSERT(OrunS3LibPrivateData != NULL);
      S3SaveDebugPrint(ORUN_S3_PRINT_FILTER, "OrunS3LibPrivateData allocate fail\n");
      return EFI_OUT_OF_RESOURCES;
    }
    OrunS3LibPrivateData->BootScriptLocked = 0;
    OrunS3LibPrivateData->TableClosed = 0;
    OrunS3LibPrivateData->TableBase = 0;
    Shared = (UINT64)(UINTN)OrunS3LibPrivateData;
    // Later modules find the private data only through this PCD: a lost
    // write leaves them saving into tables that are never handed off.
    EFI_STATUS Status = PcdSet64S(PcdS3SavePrivateData, Shared);
    ASSERT_EFI_ERROR(Status);
    mS3ScriptLockTarget = OrunS3LibPrivateData;

    VOID *Registration = nullptr;
    // Cleared first: the notify may run, and close its event, right inside.
    mS3ScriptLockEventClosed = FALSE;
    mS3ScriptLockEvent = EfiCreateProtocolNotifyEvent(&gEfiDxeSmmReadyToLockProtocolGuid, TPL_CALLBACK,
                                                      S3ScriptLockNotify, nullptr, &Registration);
    if (mS3ScriptLockEvent == nullptr) {
      ASSERT(mS3ScriptLockEvent != NULL);
      S3SaveDebugPrint(ORUN_S3_PRINT_FILTER, "OrunS3SaveLib create BootScriptLock Event fail\n");
      return EFI_UNSUPPORTED;
    }

    mCloseTableEventClosed = FALSE;
    Status = gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OrunS3SaveCloseTableCallBack, nullptr,
                                &gEfiEventReadyToBootGuid, &mCloseTableEvent);
    if (Status != EFI_SUCCESS) {
      ASSERT(Status == EFI_SUCCESS);
      if (EFI_ERROR(Status)) {
        S3SaveDebugPrint(ORUN_S3_PRINT_FILTER, "OrunS3SaveLib create CloseTable Event fail\n");
        return EFI_UNSUPPORTED;
      }
    }
  }

  mOrunS3LibPrivateData = (ORUN_S3_LIB_PRIVATE_DATA *)(UINTN)Shared;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI OrunS3SaveLibDestructor(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
  EFI_STATUS Status;
  if (mS3ScriptLockEvent != nullptr && !mS3ScriptLockEventClosed) {
    Status = gBS->CloseEvent(mS3ScriptLockEvent);
    ASSERT(Status == EFI_SUCCESS);
    mS3ScriptLockEventClosed = TRUE;
  }
  if (mCloseTableEvent != nullptr && !mCloseTableEventClosed) {
    Status = gBS->CloseEvent(mCloseTableEvent);
    ASSERT(Status == EFI_SUCCESS);
    mCloseTableEventClosed = TRUE;
  }
  return EFI_SUCCESS;
}
