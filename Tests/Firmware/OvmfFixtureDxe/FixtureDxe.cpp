// Stands in, under OVMF, for the platform modules a real Kesh board has:
// the five platform protocols, the PCD tokens of this driver, the SMM
// replay handler, the debug-print service, the hub's ACPI MMIO page in the
// GCD, the CMOS error level, and a breakpoint handler that lets failed
// assertions return. Everything it sees goes to the second UART, tagged.
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

#define COM2 0x2F8
#define TAG "[fixture] "

// ---- Output on the second UART -------------------------------------------

static VOID Com2Write(CONST CHAR8 *Text) {
  for (; *Text != '\0'; Text++) {
    // Bounded: a missing UART must not hang the boot.
    for (UINTN Poll = 0; Poll < 100000 && (IoRead8(COM2 + 5) & 0x20) == 0; Poll++) {
    }
    IoWrite8(COM2, (UINT8)*Text);
  }
}

static VOID EFIAPI Log(CONST CHAR8 *Format, ...) {
  CHAR8 Buffer[256];
  VA_LIST Marker;
  VA_START(Marker, Format);
  AsciiVSPrint(Buffer, sizeof(Buffer), Format, Marker);
  VA_END(Marker);
  Com2Write(TAG);
  Com2Write(Buffer);
}

// ---- Breakpoints ------------------------------------------------------------

static UINTN mBreakpoints = 0;

static VOID EFIAPI BreakpointHandler(IN EFI_EXCEPTION_TYPE Type, IN EFI_SYSTEM_CONTEXT Context) {
  (VOID) Type;
  (VOID) Context;
  // INT3 is a trap: returning resumes after it.
  mBreakpoints++;
}

// ---- PCD: this driver's tokens, everything else passed through -------------

typedef struct {
  UINTN Token;
  UINT64 Value;
} FIXTURE_PCD;

static FIXTURE_PCD mPcd[] = {{214, 0}, {215, 0}, {228, 0}, {229, 0}, {230, 0}, {231, 0},
                             {232, 0}, {233, 0}, {234, 0}, {235, 0}, {236, 0}};
static PCD_PROTOCOL *mFirmwarePcd = nullptr;
static PCD_PROTOCOL mWrappedPcd;
static FIXTURE_PCD mPcdWrites[32];
static UINTN mPcdWriteCount = 0;

static FIXTURE_PCD *OwnToken(UINTN Token) {
  for (UINTN Index = 0; Index < ARRAY_SIZE(mPcd); Index++) {
    if (mPcd[Index].Token == Token) {
      return &mPcd[Index];
    }
  }
  return nullptr;
}

static VOID RecordPcdWrite(UINTN Token, UINT64 Value) {
  if (mPcdWriteCount < ARRAY_SIZE(mPcdWrites)) {
    mPcdWrites[mPcdWriteCount].Token = Token;
    mPcdWrites[mPcdWriteCount].Value = Value;
    mPcdWriteCount++;
  }
}

static UINT8 EFIAPI PcdGet8(UINTN Token) {
  FIXTURE_PCD *Own = OwnToken(Token);
  return Own != nullptr ? (UINT8)Own->Value : mFirmwarePcd->Get8(Token);
}
static UINT16 EFIAPI PcdGet16(UINTN Token) {
  FIXTURE_PCD *Own = OwnToken(Token);
  return Own != nullptr ? (UINT16)Own->Value : mFirmwarePcd->Get16(Token);
}
static UINT32 EFIAPI PcdGet32(UINTN Token) {
  FIXTURE_PCD *Own = OwnToken(Token);
  return Own != nullptr ? (UINT32)Own->Value : mFirmwarePcd->Get32(Token);
}
static UINT64 EFIAPI PcdGet64(UINTN Token) {
  FIXTURE_PCD *Own = OwnToken(Token);
  return Own != nullptr ? Own->Value : mFirmwarePcd->Get64(Token);
}
static EFI_STATUS EFIAPI PcdSet8(UINTN Token, UINT8 Value) {
  FIXTURE_PCD *Own = OwnToken(Token);
  if (Own == nullptr) {
    return mFirmwarePcd->Set8(Token, Value);
  }
  Own->Value = Value;
  RecordPcdWrite(Token, Value);
  return EFI_SUCCESS;
}
static EFI_STATUS EFIAPI PcdSet64(UINTN Token, UINT64 Value) {
  FIXTURE_PCD *Own = OwnToken(Token);
  if (Own == nullptr) {
    return mFirmwarePcd->Set64(Token, Value);
  }
  Own->Value = Value;
  RecordPcdWrite(Token, Value);
  return EFI_SUCCESS;
}

static EFI_STATUS WrapPcdProtocol(VOID) {
  EFI_HANDLE Handles[4];
  UINTN Size = sizeof(Handles);
  EFI_STATUS Status = gBS->LocateHandle(ByProtocol, &gPcdProtocolGuid, nullptr, &Size, Handles);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = gBS->HandleProtocol(Handles[0], &gPcdProtocolGuid, (VOID **)&mFirmwarePcd);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  CopyMem(&mWrappedPcd, mFirmwarePcd, sizeof(PCD_PROTOCOL));
  mWrappedPcd.Get8 = PcdGet8;
  mWrappedPcd.Get16 = PcdGet16;
  mWrappedPcd.Get32 = PcdGet32;
  mWrappedPcd.Get64 = PcdGet64;
  mWrappedPcd.Set8 = PcdSet8;
  mWrappedPcd.Set64 = PcdSet64;
  return gBS->ReinstallProtocolInterface(Handles[0], &gPcdProtocolGuid, mFirmwarePcd, &mWrappedPcd);
}

// ---- Platform protocols -----------------------------------------------------

typedef struct {
  CONST CHAR16 *Name;
  CONST CHAR16 *Value;
} FIXTURE_ATTRIBUTE;

static CONST FIXTURE_ATTRIBUTE mAttributes[] = {
    {u"UsbPorts", u"OnlyBackPortsOn"},
    {u"InternalUsb", u"Off"},
    {u"RedundantOsState", u"Hidden"},
    {u"RedundantOsLocation", u"Port5"},
};

static EFI_STATUS EFIAPI GetAttribute(OrvexNvramAttributeProtocol *This, EFI_GUID *Set, CONST CHAR16 *Name,
                                      UINTN Reserved, UINT16 *Size, VOID *Buffer) {
  (VOID) This;
  (VOID) Reserved;
  if (!CompareGuid(Set, &gNvramAttributeSetGuid) || Size == nullptr || Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  for (UINTN Index = 0; Index < ARRAY_SIZE(mAttributes); Index++) {
    if (StrCmp(Name, mAttributes[Index].Name) == 0) {
      UINTN Bytes = (StrLen(mAttributes[Index].Value) + 1) * sizeof(CHAR16);
      if (Bytes > *Size) {
        return EFI_BUFFER_TOO_SMALL;
      }
      CopyMem(Buffer, mAttributes[Index].Value, Bytes);
      *Size = (UINT16)Bytes;
      Log("GetAttribute %s = %s\n", Name, mAttributes[Index].Value);
      return EFI_SUCCESS;
    }
  }
  Log("GetAttribute %s not set\n", Name);
  return EFI_NOT_FOUND;
}

static OrvexNvramAttributeProtocol mNvram = {nullptr, GetAttribute};

static PlatformIdRecord mRecord = {{0}, SYSTEM_ID_2041, {0}};

static EFI_STATUS EFIAPI GetIdPtr(PlatformIdRecord **Record) {
  *Record = &mRecord;
  return EFI_SUCCESS;
}

static UINT8 EFIAPI QueryPlatformState(UINTN Selector) {
  UINT8 Answer = Selector == PLATFORM_STATE_PWD ? 1 : 0;
  Log("QueryPlatformState (%d) = %d\n", (UINT32)Selector, Answer);
  return Answer;
}

static VroPlatformIdProtocol mIdentity = {nullptr, GetIdPtr, {nullptr}, QueryPlatformState};

static CHAR16 mPortName0[] = u"SATA Port1";
static CHAR16 mPortName1[] = u"SATA Port5";
static SataPortEntry mPorts[2];

static EFI_STATUS EFIAPI GetPortList(VroSataProtocol *This, SataPortEntry **Ports, UINT8 *Count) {
  (VOID) This;
  *Ports = mPorts;
  *Count = ARRAY_SIZE(mPorts);
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI GetSataConfig(VroSataProtocol *This, UINT64 *Config, UINT8 *SataMode) {
  (VOID) This;
  *Config = 0;
  *SataMode = 0;
  return EFI_SUCCESS;
}

static VroSataProtocol mSata = {{nullptr, nullptr}, GetPortList, {nullptr, nullptr}, GetSataConfig};

static EFI_STATUS EFIAPI SetPortMask(UsbPortControlProtocol *This, UINT32 Controller, UINT32 Mask,
                                     UINT32 Value) {
  (VOID) This;
  Log("SetPortMask (%d, 0x%x, 0x%x)\n", Controller, Mask, Value);
  return EFI_SUCCESS;
}

static UsbPortControlProtocol mUsb = {{nullptr}, SetPortMask};

static EFI_STATUS EFIAPI ApplyConfig(Mc5744Protocol *This, UINTN Apply) {
  (VOID) This;
  Log("MC5744 ApplyConfig (%d)\n", (UINT32)Apply);
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI SetPortEnables(Mc5744Protocol *This, Mc5744PortEnables *Enables) {
  (VOID) This;
  Log("MC5744 SetPortEnables (%d, %d, %d, %d)\n", Enables->Enable0, Enables->Enable1, Enables->Enable2,
      Enables->Enable3);
  return EFI_SUCCESS;
}

static Mc5744Protocol mHub = {{nullptr}, ApplyConfig, SetPortEnables};

// ---- The S3 save library's print service ---------------------------------

static VOID EFIAPI DebugPrintService(UINT64 Filter, CONST CHAR8 *Format, VA_LIST Marker) {
  CHAR8 Buffer[256];
  AsciiVSPrint(Buffer, sizeof(Buffer), Format, Marker);
  Com2Write(Filter == 0x2000000ULL ? "[s3-capture] " : "[s3] ");
  Com2Write(Buffer);
}

static DebugPrintSvcProtocol mDebugPrintSvc = {DebugPrintService};

// ---- The SMM handler that would replay the table on resume ---------------

static CONST EFI_GUID mS3CommGuid = {
    0x5C4061F0, 0xD051, 0x4F43, {0xBC, 0x23, 0x5E, 0x5E, 0x89, 0xB3, 0xCE, 0xC0}};
static CONST UINT8 mEntrySizes[10] = {24, 32, 40, 24, 32, 40, 32, 40, 48, 24};
static UINT8 mCommBuffer[64];

static EFI_STATUS EFIAPI Communicate(CONST EFI_SMM_COMMUNICATION_PROTOCOL *This, VOID *CommBuffer,
                                     UINTN *CommSize) {
  (VOID) This;
  CONST UINT8 *Message = (CONST UINT8 *)CommBuffer;
  if (Message == nullptr || CommSize == nullptr || *CommSize != 40) {
    Log("Communicate refused: size\n");
    return EFI_INVALID_PARAMETER;
  }
  if (!CompareGuid((CONST GUID *)Message, &mS3CommGuid) || *(CONST UINT64 *)(Message + 16) != 16 ||
      *(CONST UINT32 *)(Message + 24) != 1) {
    Log("Communicate refused: not an S3 table hand-off\n");
    return EFI_INVALID_PARAMETER;
  }
  CONST UINT8 *Private = (CONST UINT8 *)(UINTN) * (CONST UINT64 *)(Message + 32);
  if (Private == nullptr) {
    Log("Communicate refused: no private data\n");
    return EFI_INVALID_PARAMETER;
  }
  CONST UINT8 *Table = (CONST UINT8 *)(UINTN) * (CONST UINT64 *)(Private + 8);
  if (Table == nullptr || *(CONST UINT32 *)Table != 0x5433534F || *(CONST UINT32 *)(Table + 4) != 1) {
    Log("Communicate refused: table signature or version\n");
    return EFI_INVALID_PARAMETER;
  }
  UINT64 Length = *(CONST UINT64 *)(Table + 0x20);
  UINT64 Next = *(CONST UINT64 *)(Table + 0x28);
  if (Length < 0x30 || Length > 0x100000 || Next < 0x30 || Next + 2 > Length ||
      *(CONST UINT32 *)(Table + Length) != 0x01558844 || *(CONST UINT16 *)(Table + Next) != 0xFFFF) {
    Log("Communicate refused: table lengths, end marker or terminator\n");
    return EFI_INVALID_PARAMETER;
  }
  Log("S3 table handed off: length 0x%x, next 0x%x\n", (UINT32)Length, (UINT32)Next);
  UINT64 Offset = 0x30;
  UINTN Count = 0;
  while (Offset < Next) {
    UINT16 Type = *(CONST UINT16 *)(Table + Offset);
    if (Type >= ARRAY_SIZE(mEntrySizes) || Offset + mEntrySizes[Type] > Next) {
      Log("  +0x%03x bad entry type %d\n", (UINT32)Offset, Type);
      return EFI_INVALID_PARAMETER;
    }
    if (Type == 3) {
      Log("  +0x%03x type 3 width %d address 0x%lx value 0x%lx\n", (UINT32)Offset,
          *(CONST UINT32 *)(Table + Offset + 4), *(CONST UINT64 *)(Table + Offset + 8),
          *(CONST UINT64 *)(Table + Offset + 16));
    } else {
      Log("  +0x%03x type %d\n", (UINT32)Offset, Type);
    }
    Offset += mEntrySizes[Type];
    Count++;
  }
  Log("S3 table: %d entries\n", (UINT32)Count);
  return EFI_SUCCESS;
}

static EFI_SMM_COMMUNICATION_PROTOCOL mSmmCommunication = {Communicate};

// ---- Summary ------------------------------------------------------------------

static VOID EFIAPI PrintSummary(VOID) {
  Log("summary: %d breakpoints\n", (UINT32)mBreakpoints);
  for (UINTN Index = 0; Index < mPcdWriteCount; Index++) {
    Log("summary: PCD %d = 0x%lx\n", (UINT32)mPcdWrites[Index].Token, mPcdWrites[Index].Value);
  }
  Log("summary: end\n");
}

static KESH_OVMF_FIXTURE_PROTOCOL mFixture = {PrintSummary};

// ---- Entry ----------------------------------------------------------------------

static VOID CmosWrite(UINT8 Index, UINT8 Value) {
  IoWrite8(0x70, Index);
  IoWrite8(0x71, Value);
}

EFI_STATUS EFIAPI OvmfFixtureEntryPoint(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) SystemTable;
  EFI_STATUS Status;
  Log("start\n");

  // Error level 0x80000040 and 115200 baud for the driver's console.
  CmosWrite(0x7A, 0x40);
  CmosWrite(0x7B, 0x00);
  CmosWrite(0x7C, 0x00);
  CmosWrite(0x7D, 0x80);
  CmosWrite(0x6F, 0x00);

  Status = gDS->AddMemorySpace(EfiGcdMemoryTypeMemoryMappedIo, 0xFED80000, 0x1000,
                               EFI_MEMORY_UC | EFI_MEMORY_RUNTIME);
  Log("AddMemorySpace ACPI MMIO page: %r\n", Status);

  EFI_CPU_ARCH_PROTOCOL *Cpu = nullptr;
  Status = gBS->LocateProtocol(&gEfiCpuArchProtocolGuid, nullptr, (VOID **)&Cpu);
  if (!EFI_ERROR(Status)) {
    Status = Cpu->RegisterInterruptHandler(Cpu, EXCEPT_X64_BREAKPOINT, BreakpointHandler);
  }
  Log("breakpoint handler: %r\n", Status);

  mPcd[1].Value = (UINT64)(UINTN)mCommBuffer;
  Status = WrapPcdProtocol();
  Log("PCD protocol wrapped: %r\n", Status);

  mPorts[0].Name = mPortName0;
  mPorts[0].AhciPort = 1;
  mPorts[0].Die = 0;
  mPorts[1].Name = mPortName1;
  mPorts[1].AhciPort = 5;
  mPorts[1].Die = 1;

  EFI_HANDLE Handle = nullptr;
  Status = gBS->InstallMultipleProtocolInterfaces(
      &Handle, &gOrvexNvramAttributeProtocolGuid, &mNvram, &gVroPlatformIdProtocolGuid, &mIdentity,
      &gVroSataProtocolGuid, &mSata, &gUsbPortControlProtocolGuid, &mUsb, &gMc5744ProtocolGuid, &mHub,
      &gEfiSmmCommunicationProtocolGuid, &mSmmCommunication, &gDebugPrintSvcProtocolGuid, &mDebugPrintSvc,
      &gKeshOvmfFixtureProtocolGuid, &mFixture, nullptr);
  Log("platform protocols installed: %r\n", Status);
  (VOID) ImageHandle;
  return Status;
}
