// SPDX-License-Identifier: BSD-2-Clause-Patent
// Stands in, under OVMF, for the platform modules of the board it is given
// (FixtureConfig.h, read from fw_cfg): the platform protocols, this
// driver's PCD tokens, the SMM replay handler, the debug-print service, the
// hub's ACPI MMIO page in the GCD, the CMOS error level and console speed,
// and a breakpoint handler that lets failed assertions return.
//
// Every call it answers becomes one line on the record port, in the order
// the calls came, in the form `dxesim ovmf` writes for the simulator's run,
// so the two records compare line by line.
#include <PiDxe.h>
#include <Guid/EventGroup.h>
#include <Protocol/Cpu.h>
#include <Protocol/Pcd.h>
#include <Protocol/SmmCommunication.h>
#include <Protocol/DebugPrintSvc.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/DxeServicesTableLib.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/IoLib.h>
#include <Library/PrintLib.h>
#include <PlatformProtocols.h>
#include "FixtureProtocol.h"
#include "OvmfIo.h"

#define ACPI_MMIO_PAGE 0xFED80000ULL

static KESH_OVMF_CONFIG mConfig;

// ---- Breakpoints ------------------------------------------------------------

static UINTN mBreakpoints = 0;

static VOID EFIAPI BreakpointHandler(IN EFI_EXCEPTION_TYPE Type, IN EFI_SYSTEM_CONTEXT Context) {
  (VOID) Type;
  (VOID) Context;
  // INT3 is a trap: returning resumes after it.
  mBreakpoints++;
}

// ---- PCD: the board's tokens only ----------------------------------------------
//
// As on the board, a token the board does not list reads 0 and refuses
// writes; OVMF's own token numbers mean other things.

static KESH_OVMF_PCD *Token(UINTN Number) {
  for (UINTN Index = 0; Index < mConfig.PcdCount; Index++) {
    if (mConfig.Pcd[Index].Token == Number) {
      return &mConfig.Pcd[Index];
    }
  }
  return nullptr;
}

static UINT64 PcdRead(UINTN Number) {
  KESH_OVMF_PCD *Pcd = Token(Number);
  return Pcd != nullptr ? Pcd->Value : 0;
}

static EFI_STATUS PcdWrite(UINTN Number, UINT32 Size, UINT64 Value) {
  KESH_OVMF_PCD *Pcd = Token(Number);
  EFI_STATUS Status = EFI_SUCCESS;
  if (Pcd == nullptr) {
    Status = EFI_NOT_FOUND;
  } else if (Pcd->Size != Size) {
    Status = EFI_INVALID_PARAMETER;
  } else {
    Pcd->Value = Value;
  }
  RecordLine("pcd %d size %d value 0x%lx -> %r", (UINT32)Number, Size, Value, Status);
  return Status;
}

static UINT8 EFIAPI PcdGet8(UINTN Number) {
  return (UINT8)PcdRead(Number);
}
static UINT16 EFIAPI PcdGet16(UINTN Number) {
  return (UINT16)PcdRead(Number);
}
static UINT32 EFIAPI PcdGet32(UINTN Number) {
  return (UINT32)PcdRead(Number);
}
static UINT64 EFIAPI PcdGet64(UINTN Number) {
  return PcdRead(Number);
}
static BOOLEAN EFIAPI PcdGetBool(UINTN Number) {
  return PcdRead(Number) != 0 ? TRUE : FALSE;
}
static EFI_STATUS EFIAPI PcdSet8(UINTN Number, UINT8 Value) {
  return PcdWrite(Number, 1, Value);
}
static EFI_STATUS EFIAPI PcdSet16(UINTN Number, UINT16 Value) {
  return PcdWrite(Number, 2, Value);
}
static EFI_STATUS EFIAPI PcdSet32(UINTN Number, UINT32 Value) {
  return PcdWrite(Number, 4, Value);
}
static EFI_STATUS EFIAPI PcdSet64(UINTN Number, UINT64 Value) {
  return PcdWrite(Number, 8, Value);
}
static EFI_STATUS EFIAPI PcdSetBool(UINTN Number, BOOLEAN Value) {
  return PcdWrite(Number, 1, Value != 0 ? 1 : 0);
}

static PCD_PROTOCOL mWrappedPcd;

// Images loaded from now on find the wrapped protocol; the firmware's own
// modules keep the pointer they cached.
static EFI_STATUS WrapPcdProtocol(VOID) {
  EFI_HANDLE Handles[4];
  UINTN Size = sizeof(Handles);
  EFI_STATUS Status = gBS->LocateHandle(ByProtocol, &gPcdProtocolGuid, nullptr, &Size, Handles);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  PCD_PROTOCOL *Firmware = nullptr;
  Status = gBS->HandleProtocol(Handles[0], &gPcdProtocolGuid, (VOID **)&Firmware);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  CopyMem(&mWrappedPcd, Firmware, sizeof(PCD_PROTOCOL));
  mWrappedPcd.Get8 = PcdGet8;
  mWrappedPcd.Get16 = PcdGet16;
  mWrappedPcd.Get32 = PcdGet32;
  mWrappedPcd.Get64 = PcdGet64;
  mWrappedPcd.GetBool = PcdGetBool;
  mWrappedPcd.Set8 = PcdSet8;
  mWrappedPcd.Set16 = PcdSet16;
  mWrappedPcd.Set32 = PcdSet32;
  mWrappedPcd.Set64 = PcdSet64;
  mWrappedPcd.SetBool = PcdSetBool;
  return gBS->ReinstallProtocolInterface(Handles[0], &gPcdProtocolGuid, Firmware, &mWrappedPcd);
}

// ---- Platform protocols -----------------------------------------------------

// The attribute name as CHAR16 text, for comparing with the caller's.
static BOOLEAN NameIs(CONST CHAR16 *Name, CONST CHAR8 *Ascii) {
  UINTN Index = 0;
  for (; Ascii[Index] != '\0'; Index++) {
    if (Name[Index] != (CHAR16)(UINT8)Ascii[Index]) {
      return FALSE;
    }
  }
  return Name[Index] == 0;
}

static VOID NarrowName(CONST CHAR16 *Name, CHAR8 *Out, UINTN OutSize) {
  UINTN Index = 0;
  for (; Index + 1 < OutSize && Name[Index] != 0; Index++) {
    Out[Index] = Name[Index] < 0x80 ? (CHAR8)Name[Index] : '?';
  }
  Out[Index] = '\0';
}

static EFI_STATUS EFIAPI GetAttribute(OrvexNvramAttributeProtocol *This, EFI_GUID *Set, CONST CHAR16 *Name,
                                      UINTN Reserved, UINT16 *Size, VOID *Buffer) {
  (VOID) This;
  (VOID) Reserved;
  if (Name == nullptr || Size == nullptr || Buffer == nullptr || Set == nullptr) {
    RecordLine("call nvram GetAttribute - -> %r problem null argument", EFI_INVALID_PARAMETER);
    return EFI_INVALID_PARAMETER;
  }
  CONST CHAR8 *Problem = "";
  if (!CompareGuid(Set, &gNvramAttributeSetGuid)) {
    Problem = " problem attribute set is not gNvramAttributeSetGuid";
  }
  if (*Size != NVRAM_ATTRIBUTE_VALUE_SIZE) {
    Problem = " problem size was not 62";
  } else {
    for (UINTN Index = 0; Index < NVRAM_ATTRIBUTE_VALUE_SIZE; Index++) {
      if (((CONST UINT8 *)Buffer)[Index] != 0) {
        Problem = " problem buffer was not zeroed";
        break;
      }
    }
  }
  EFI_STATUS Status = EFI_NOT_FOUND;
  for (UINTN Index = 0; Index < mConfig.AttributeCount; Index++) {
    KESH_OVMF_ATTRIBUTE *Attribute = &mConfig.Attributes[Index];
    if (!NameIs(Name, Attribute->Name)) {
      continue;
    }
    UINTN Length = AsciiStrLen(Attribute->Value);
    CHAR16 *Out = (CHAR16 *)Buffer;
    if (Attribute->Unterminated != 0) {
      // The first 31 units, padded with 'x', and no terminator.
      for (UINTN Unit = 0; Unit < NVRAM_ATTRIBUTE_VALUE_SIZE / 2; Unit++) {
        Out[Unit] = Unit < Length ? (CHAR16)(UINT8)Attribute->Value[Unit] : u'x';
      }
      Status = EFI_SUCCESS;
    } else if ((Length + 1) * 2 > *Size) {
      Status = EFI_BUFFER_TOO_SMALL;
    } else {
      for (UINTN Unit = 0; Unit <= Length; Unit++) {
        Out[Unit] = (CHAR16)(UINT8)Attribute->Value[Unit];
      }
      *Size = (UINT16)((Length + 1) * 2);
      Status = EFI_SUCCESS;
    }
    break;
  }
  CHAR8 Narrow[KESH_OVMF_TEXT];
  NarrowName(Name, Narrow, sizeof(Narrow));
  RecordLine("call nvram GetAttribute %a -> %r%a", Narrow, Status, Problem);
  return Status;
}

static OrvexNvramAttributeProtocol mNvram = {nullptr, GetAttribute};

static PlatformIdRecord mRecord;

static EFI_STATUS EFIAPI GetIdPtr(PlatformIdRecord **Record) {
  EFI_STATUS Status = EFI_SUCCESS;
  if (mConfig.GetIdAnswer == KESH_OVMF_ANSWER_FAIL) {
    Status = EFI_DEVICE_ERROR;
  } else if (mConfig.GetIdAnswer == KESH_OVMF_ANSWER_NULL) {
    *Record = nullptr;
  } else {
    *Record = &mRecord;
  }
  RecordLine("call identity GetIdPtr -> %r", Status);
  return Status;
}

static UINT8 EFIAPI QueryPlatformState(UINTN Selector) {
  UINT8 Answer = 0;
  for (UINTN Index = 0; Index < mConfig.StateCount; Index++) {
    if (mConfig.States[Index].Selector == Selector) {
      Answer = mConfig.States[Index].Answer;
    }
  }
  RecordLine("call identity QueryPlatformState %ld = %d", (UINT64)Selector, Answer);
  return Answer;
}

static VroPlatformIdProtocol mIdentity = {nullptr, GetIdPtr, {nullptr}, QueryPlatformState};

static CHAR16 mPortNames[KESH_OVMF_MAX_PORTS][KESH_OVMF_TEXT];
static SataPortEntry mPorts[KESH_OVMF_MAX_PORTS];

static EFI_STATUS EFIAPI GetPortList(VroSataProtocol *This, SataPortEntry **Ports, UINT8 *Count) {
  (VOID) This;
  EFI_STATUS Status = EFI_SUCCESS;
  if (mConfig.PortListAnswer == KESH_OVMF_ANSWER_FAIL) {
    Status = EFI_NOT_READY;
  } else {
    *Ports = mConfig.PortListAnswer == KESH_OVMF_ANSWER_NULL || mConfig.PortCount == 0 ? nullptr : mPorts;
    *Count = (UINT8)mConfig.PortCount;
  }
  RecordLine("call sata GetPortList -> %r", Status);
  return Status;
}

static EFI_STATUS EFIAPI GetSataConfig(VroSataProtocol *This, UINT64 *Config, UINT8 *SataMode) {
  (VOID) This;
  EFI_STATUS Status = EFI_SUCCESS;
  if (mConfig.SataConfigFails != 0) {
    Status = EFI_DEVICE_ERROR;
  } else {
    *Config = 0x5341544100000001ULL;
    *SataMode = mConfig.SataMode;
  }
  RecordLine("call sata GetSataConfig -> %r", Status);
  return Status;
}

static VroSataProtocol mSata = {{nullptr, nullptr}, GetPortList, {nullptr, nullptr}, GetSataConfig};

static EFI_STATUS EFIAPI SetPortMask(UsbPortControlProtocol *This, UINT32 Controller, UINT32 Mask,
                                     UINT32 Value) {
  (VOID) This;
  RecordLine("call usb SetPortMask %d 0x%x 0x%x -> %r", Controller, Mask, Value, EFI_SUCCESS);
  return EFI_SUCCESS;
}

static UsbPortControlProtocol mUsb = {{nullptr}, SetPortMask};

static EFI_STATUS EFIAPI ApplyConfig(Mc5744Protocol *This, UINTN Apply) {
  (VOID) This;
  RecordLine("call mc5744 ApplyConfig 0x%lx -> %r", (UINT64)Apply, EFI_SUCCESS);
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI SetPortEnables(Mc5744Protocol *This, Mc5744PortEnables *Enables) {
  (VOID) This;
  if (Enables == nullptr) {
    RecordLine("call mc5744 SetPortEnables - -> %r", EFI_INVALID_PARAMETER);
    return EFI_INVALID_PARAMETER;
  }
  RecordLine("call mc5744 SetPortEnables %d %d %d %d -> %r", Enables->Enable0, Enables->Enable1,
             Enables->Enable2, Enables->Enable3, EFI_SUCCESS);
  return EFI_SUCCESS;
}

static Mc5744Protocol mHub = {{nullptr}, ApplyConfig, SetPortEnables};

// ---- The S3 save library's print service ---------------------------------

static VOID EFIAPI DebugPrintService(UINT64 Filter, CONST CHAR8 *Format, VA_LIST Marker) {
  CHAR8 Buffer[256];
  AsciiVSPrint(Buffer, sizeof(Buffer), Format, Marker);
  RecordWrite("debugprint ");
  CHAR8 Number[24];
  AsciiSPrint(Number, sizeof(Number), "0x%lx ", Filter);
  RecordWrite(Number);
  RecordEscaped(Buffer);
  RecordWrite("\n");
}

static DebugPrintSvcProtocol mDebugPrintSvc = {DebugPrintService};

// ---- The SMM handler that would replay the table on resume ---------------
//
// Refuses what the replay handler refuses, with the same status; what it
// was handed goes to the record as bytes.

static CONST EFI_GUID mS3CommGuid = {
    0x5C4061F0, 0xD051, 0x4F43, {0xBC, 0x23, 0x5E, 0x5E, 0x89, 0xB3, 0xCE, 0xC0}};
static CONST UINT8 mEntrySizes[10] = {24, 32, 40, 24, 32, 40, 32, 40, 48, 24};

static UINT64 Little(CONST UINT8 *Bytes, UINTN Width) {
  UINT64 Value = 0;
  for (UINTN Index = 0; Index < Width; Index++) {
    Value |= (UINT64)Bytes[Index] << (8 * Index);
  }
  return Value;
}

// "s3 LABEL hex..."; bytes of the message's private-data pointer are
// written as "..", as the simulator's record does.
static VOID RecordBytes(CONST CHAR8 *Label, CONST UINT8 *Bytes, UINTN From, UINTN To, BOOLEAN HidePointer) {
  static CONST CHAR8 Hex[] = "0123456789abcdef";
  RecordWrite("s3 ");
  RecordWrite(Label);
  RecordWrite(" ");
  for (UINTN Index = From; Index < To; Index++) {
    CHAR8 Pair[3] = {Hex[Bytes[Index] >> 4], Hex[Bytes[Index] & 0xF], '\0'};
    RecordWrite(HidePointer && Index >= 32 && Index < 40 ? ".." : Pair);
  }
  RecordWrite("\n");
}

// The table's header, each entry and what follows the last one.
static VOID RecordTable(CONST UINT8 *Table, UINT64 Length) {
  UINT64 Next = Little(Table + 0x28, 8);
  RecordBytes("table-header", Table, 0, 0x30, FALSE);
  UINT64 Offset = 0x30;
  while (Offset < Next && Offset + 2 <= Length) {
    UINT16 Type = (UINT16)Little(Table + Offset, 2);
    if (Type >= ARRAY_SIZE(mEntrySizes) || Offset + mEntrySizes[Type] > Next) {
      break;
    }
    RecordBytes("table-entry", Table, (UINTN)Offset, (UINTN)(Offset + mEntrySizes[Type]), FALSE);
    Offset += mEntrySizes[Type];
  }
  // The terminator, the end marker, and how much of the slack between is not zero.
  UINT64 Terminated = Next + 2 < Length ? Next + 2 : Length;
  RecordBytes("table-tail", Table, (UINTN)Offset, (UINTN)Terminated, FALSE);
  UINT32 Slack = 0;
  for (UINT64 Index = Terminated; Index < Length; Index++) {
    Slack += Table[Index] != 0 ? 1 : 0;
  }
  static CONST CHAR8 Hex[] = "0123456789abcdef";
  CHAR8 Marker[9];
  for (UINTN Index = 0; Index < 4; Index++) {
    Marker[2 * Index] = Hex[Table[Length + Index] >> 4];
    Marker[2 * Index + 1] = Hex[Table[Length + Index] & 0xF];
  }
  Marker[8] = '\0';
  RecordLine("s3 table-end %a slack %d non-zero", Marker, Slack);
}

static EFI_STATUS Handle(CONST UINT8 *Buffer, UINT64 Size) {
  if (Size < 24) {
    return EFI_BAD_BUFFER_SIZE;
  }
  UINT64 MessageLength = Little(Buffer + 16, 8);
  UINT64 Shown = 24 + (MessageLength < 4096 ? MessageLength : 4096);
  RecordBytes("message", Buffer, 0, (UINTN)(Size < Shown ? Size : Shown), TRUE);
  if (!CompareGuid((CONST GUID *)Buffer, &mS3CommGuid)) {
    return EFI_NOT_FOUND;
  }
  if (MessageLength != 16) {
    return EFI_INVALID_PARAMETER;
  }
  if (Size < 40) {
    return EFI_BAD_BUFFER_SIZE;
  }
  if (Little(Buffer + 24, 4) != 1 || Little(Buffer + 28, 4) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  CONST UINT8 *Private = (CONST UINT8 *)(UINTN)Little(Buffer + 32, 8);
  if (Private == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  RecordLine("s3 private locked %d closed %d", Private[0], Private[1]);
  for (UINTN Index = 2; Index < 8; Index++) {
    if (Private[Index] != 0) {
      return EFI_INVALID_PARAMETER;
    }
  }
  if (Private[0] != 1 || Private[1] != 0) {
    return EFI_INVALID_PARAMETER;
  }
  CONST UINT8 *Table = (CONST UINT8 *)(UINTN)Little(Private + 8, 8);
  if (Table == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  UINT64 Length = Little(Table + 0x20, 8);
  if (Length < 0x30 || Length > 0x100000) {
    return EFI_INVALID_PARAMETER;
  }
  RecordTable(Table, Length);
  UINT64 Next = Little(Table + 0x28, 8);
  if (Little(Table, 4) != 0x5433534F || Little(Table + 4, 4) != 1 || Next < 0x30 || Next + 2 > Length ||
      Little(Table + Length, 4) != 0x01558844 || Little(Table + Next, 2) != 0xFFFF) {
    return EFI_INVALID_PARAMETER;
  }
  for (UINT64 Offset = 0x30; Offset < Next;) {
    UINT16 Type = (UINT16)Little(Table + Offset, 2);
    if (Type >= ARRAY_SIZE(mEntrySizes) || Offset + mEntrySizes[Type] > Next) {
      return EFI_INVALID_PARAMETER;
    }
    Offset += mEntrySizes[Type];
  }
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI Communicate(CONST EFI_SMM_COMMUNICATION_PROTOCOL *This, VOID *CommBuffer,
                                     UINTN *CommSize) {
  (VOID) This;
  EFI_STATUS Status = EFI_INVALID_PARAMETER;
  if (CommBuffer != nullptr && CommSize != nullptr) {
    Status = Handle((CONST UINT8 *)CommBuffer, *CommSize);
  }
  if (CommSize == nullptr) {
    RecordLine("s3 communicate size - -> %r", Status);
  } else {
    RecordLine("s3 communicate size %ld -> %r", (UINT64)*CommSize, Status);
  }
  return Status;
}

static EFI_SMM_COMMUNICATION_PROTOCOL mSmmCommunication = {Communicate};

// ---- What the phase application asks for --------------------------------

static VOID EFIAPI RecordGcd(VOID) {
  EFI_GCD_MEMORY_SPACE_DESCRIPTOR Descriptor;
  EFI_STATUS Status = gDS->GetMemorySpaceDescriptor(ACPI_MMIO_PAGE, &Descriptor);
  if (EFI_ERROR(Status)) {
    RecordLine("gcd 0x%lx -> %r", ACPI_MMIO_PAGE, Status);
    return;
  }
  RecordLine("gcd 0x%lx base 0x%lx length 0x%lx type %d capabilities 0x%lx attributes 0x%lx allocated %d",
             ACPI_MMIO_PAGE, Descriptor.BaseAddress, Descriptor.Length, (UINT32)Descriptor.GcdMemoryType,
             Descriptor.Capabilities, Descriptor.Attributes, Descriptor.ImageHandle != nullptr ? 1 : 0);
}

static VOID EFIAPI RecordEnd(VOID) {
  RecordLine("breakpoints %d", (UINT32)mBreakpoints);
}

static KESH_OVMF_FIXTURE_PROTOCOL mFixture = {KESH_OVMF_FIXTURE_REVISION, &mConfig, RecordGcd, RecordEnd};

// ---- Entry ----------------------------------------------------------------------

static VOID CmosWrite(UINT8 Index, UINT8 Value) {
  IoWrite8(0x70, Index);
  IoWrite8(0x71, Value);
}

static BOOLEAN ReadConfig(VOID) {
  UINT16 Select = 0;
  UINT32 Size = FwCfgFind(KESH_OVMF_CONFIG_FILE, &Select);
  if (Size != sizeof(mConfig)) {
    RecordLine("setup board configuration: fw_cfg file of %d bytes, not %d", Size, (UINT32)sizeof(mConfig));
    return FALSE;
  }
  FwCfgRead(Select, &mConfig, sizeof(mConfig));
  if (mConfig.Magic != KESH_OVMF_CONFIG_MAGIC || mConfig.Version != KESH_OVMF_CONFIG_VERSION ||
      mConfig.Size != sizeof(mConfig) || mConfig.AttributeCount > KESH_OVMF_MAX_ATTRIBUTES ||
      mConfig.StateCount > KESH_OVMF_MAX_STATES || mConfig.PortCount > KESH_OVMF_MAX_PORTS ||
      mConfig.PcdCount > KESH_OVMF_MAX_PCD || mConfig.StepCount > KESH_OVMF_MAX_STEPS) {
    RecordLine("setup board configuration: not a version %d configuration", KESH_OVMF_CONFIG_VERSION);
    return FALSE;
  }
  // Names and values are terminated whatever the file says.
  for (UINTN Index = 0; Index < mConfig.AttributeCount; Index++) {
    mConfig.Attributes[Index].Name[KESH_OVMF_TEXT - 1] = '\0';
    mConfig.Attributes[Index].Value[KESH_OVMF_TEXT - 1] = '\0';
  }
  for (UINTN Index = 0; Index < mConfig.PortCount; Index++) {
    mConfig.Ports[Index].Name[KESH_OVMF_TEXT - 1] = '\0';
  }
  return TRUE;
}

EFI_STATUS EFIAPI OvmfFixtureEntryPoint(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  EFI_STATUS Status;
  RecordLine("setup start");
  if (!ReadConfig()) {
    return EFI_NOT_FOUND;
  }
  RecordLine("firmware revision 0x%x", SystemTable->Hdr.Revision);

  CmosWrite(0x7A, mConfig.CmosLevel[0]);
  CmosWrite(0x7B, mConfig.CmosLevel[1]);
  CmosWrite(0x7C, mConfig.CmosLevel[2]);
  CmosWrite(0x7D, mConfig.CmosLevel[3]);
  CmosWrite(0x6F, mConfig.CmosSpeed);

  if (mConfig.GcdPresent != 0) {
    Status = gDS->AddMemorySpace((EFI_GCD_MEMORY_TYPE)mConfig.GcdType, ACPI_MMIO_PAGE, 0x1000,
                                 mConfig.GcdCapabilities);
    RecordLine("setup AddMemorySpace ACPI MMIO page: %r", Status);
    if (!EFI_ERROR(Status) && mConfig.GcdAttributes != 0) {
      Status = gDS->SetMemorySpaceAttributes(ACPI_MMIO_PAGE, 0x1000, mConfig.GcdAttributes);
      RecordLine("setup SetMemorySpaceAttributes ACPI MMIO page: %r", Status);
    }
  }

  EFI_CPU_ARCH_PROTOCOL *Cpu = nullptr;
  Status = gBS->LocateProtocol(&gEfiCpuArchProtocolGuid, nullptr, (VOID **)&Cpu);
  if (!EFI_ERROR(Status)) {
    Status = Cpu->RegisterInterruptHandler(Cpu, EXCEPT_X64_BREAKPOINT, BreakpointHandler);
  }
  RecordLine("setup breakpoint handler: %r", Status);

  if (mConfig.CommBufferSize != 0) {
    VOID *Buffer = nullptr;
    Status = gBS->AllocatePool(EfiBootServicesData, (UINTN)((mConfig.CommBufferSize + 7) & ~7ULL), &Buffer);
    RecordLine("setup communication buffer: %r", Status);
    if (EFI_ERROR(Status)) {
      return Status;
    }
    SetMem(Buffer, (UINTN)((mConfig.CommBufferSize + 7) & ~7ULL), 0);
    KESH_OVMF_PCD *Pcd = Token(215);
    if (Pcd != nullptr) {
      Pcd->Value = (UINT64)(UINTN)Buffer;
    }
  }
  Status = WrapPcdProtocol();
  RecordLine("setup PCD protocol wrapped: %r", Status);

  mRecord.SystemId = mConfig.SystemId;
  for (UINTN Index = 0; Index < mConfig.PortCount; Index++) {
    for (UINTN Unit = 0; Unit < KESH_OVMF_TEXT; Unit++) {
      mPortNames[Index][Unit] = (CHAR16)(UINT8)mConfig.Ports[Index].Name[Unit];
    }
    mPorts[Index].Name = mConfig.Ports[Index].NullName != 0 ? nullptr : mPortNames[Index];
    mPorts[Index].AhciPort = mConfig.Ports[Index].AhciPort;
    mPorts[Index].Die = mConfig.Ports[Index].Die;
  }

  // One protocol per handle, so that any subset can be installed.
  struct {
    UINT32 Flag;
    EFI_GUID *Guid;
    VOID *Interface;
  } CONST Protocols[] = {
      {KESH_OVMF_NVRAM, &gOrvexNvramAttributeProtocolGuid, &mNvram},
      {KESH_OVMF_IDENTITY, &gVroPlatformIdProtocolGuid, &mIdentity},
      {KESH_OVMF_SATA, &gVroSataProtocolGuid, &mSata},
      {KESH_OVMF_USB_PORT_CONTROL, &gUsbPortControlProtocolGuid, &mUsb},
      {KESH_OVMF_MC5744, &gMc5744ProtocolGuid, &mHub},
      {KESH_OVMF_SMM_COMMUNICATION, &gEfiSmmCommunicationProtocolGuid, &mSmmCommunication},
      {KESH_OVMF_DEBUG_PRINT_SERVICE, &gDebugPrintSvcProtocolGuid, &mDebugPrintSvc},
  };
  for (UINTN Index = 0; Index < ARRAY_SIZE(Protocols); Index++) {
    if ((mConfig.Protocols & Protocols[Index].Flag) == 0) {
      continue;
    }
    EFI_HANDLE Handle = nullptr;
    Status = gBS->InstallMultipleProtocolInterfaces(&Handle, Protocols[Index].Guid,
                                                    Protocols[Index].Interface, nullptr);
    if (EFI_ERROR(Status)) {
      RecordLine("setup protocol 0x%x: %r", Protocols[Index].Flag, Status);
      return Status;
    }
  }
  EFI_HANDLE Handle = nullptr;
  Status = gBS->InstallMultipleProtocolInterfaces(&Handle, &gKeshOvmfFixtureProtocolGuid, &mFixture, nullptr);
  RecordLine("setup platform protocols 0x%x installed: %r", mConfig.Protocols, Status);
  return Status;
}
