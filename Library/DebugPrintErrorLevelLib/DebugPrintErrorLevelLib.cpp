// SPDX-License-Identifier: BSD-2-Clause-Patent
// The run-time error level: taken from the earlier boot phase's level HOB,
// else from four CMOS bytes, cached once found, and readable and replaceable
// by other components through the debug mask protocol.
//
// The constructor runs before the boot-services table library has set gBS,
// so everything here works from the system table the constructor was given.
#include <Uefi.h>
#include <Pi/PiHob.h>
#include <Guid/HobList.h>
#include <Guid/GenericVariable.h>
#include <Protocol/DebugMask.h>
#include <Library/ErrorLevelLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/IoLib.h>

// Build settings of this instance.
#define INITIAL_ERROR_LEVEL 0x00000000u
// Used only when the system table has no configuration table at all: with
// bit 63 set, its low 32 bits become the level.
#define FALLBACK_LEVEL_WORD 0x0000000000000000ull

#define CMOS_INDEX_PORT 0x70
#define CMOS_DATA_PORT 0x71
#define CMOS_ERROR_LEVEL_INDEX 0x7A // four bytes, least significant first

// Offset of the level in the level HOB: right after the GUID HOB header.
#define LEVEL_HOB_DATA_OFFSET sizeof(EFI_HOB_GUID_TYPE)

static EFI_STATUS EFIAPI GetDebugMask(IN EFI_DEBUG_MASK_PROTOCOL *This, IN OUT UINTN *CurrentDebugMask);
static EFI_STATUS EFIAPI SetDebugMask(IN EFI_DEBUG_MASK_PROTOCOL *This, IN UINTN NewDebugMask);

static UINT32 mDebugPrintErrorLevel = INITIAL_ERROR_LEVEL;
// Once set, the level is answered without consulting any source.
static BOOLEAN mDebugPrintErrorLevelSettled = FALSE;
// Null until the constructor has run.
static EFI_SYSTEM_TABLE *mSystemTable = nullptr;

static EFI_DEBUG_MASK_PROTOCOL mDebugMaskProtocol = {EFI_DEBUG_MASK_REVISION, GetDebugMask, SetDebugMask};

static CHAR16 mDebugVariableName[] = u"EFIDebug";

static UINT32 ReadLittleEndian32(IN CONST UINT8 *Bytes) {
  return (UINT32)Bytes[0] | ((UINT32)Bytes[1] << 8) | ((UINT32)Bytes[2] << 16) | ((UINT32)Bytes[3] << 24);
}

// The first HOB list of the configuration table, or null.
static CONST UINT8 *FindHobList(IN CONST EFI_SYSTEM_TABLE *SystemTable) {
  for (UINTN Index = 0; Index < SystemTable->NumberOfTableEntries; Index++) {
    if (CompareGuid(&SystemTable->ConfigurationTable[Index].VendorGuid, &gEfiHobListGuid)) {
      return (CONST UINT8 *)SystemTable->ConfigurationTable[Index].VendorTable;
    }
  }
  return nullptr;
}

// Looks for the first level HOB in the list and returns its level.
//
// The walk trusts nothing but the list itself, and so it is bounded three
// ways. It reads a HOB's 8-byte header only where the previous HOB's length
// has put it, and stops at the end-of-list type before reading anything
// more, so nothing after the end HOB is ever read. A length below the size
// of a header cannot belong to a HOB and ends the walk, so every step moves
// forward and a zero length cannot loop. When the list starts with its
// handoff HOB, that HOB names the end HOB, and no HOB may reach past it: one
// that would ends the walk too; without a handoff HOB the lengths and the
// end HOB alone bound it.
//
// The first GUID HOB with the level's name settles the search, whatever
// its length says about its data: the level is its four bytes after the
// GUID HOB header. When those bytes would lie past the end of the list the
// HOB gives no level, and the later sources decide (FALSE); a later level
// HOB never does. A GUID HOB shorter than its own header has no name.
// Headers are copied out before they are looked at: a length that is not
// a multiple of 8 leaves the next HOB misaligned.
static BOOLEAN FindLevelHob(IN CONST UINT8 *HobList, OUT UINT32 *Level) {
  CONST UINT8 *Hob = HobList;
  CONST UINT8 *Limit = nullptr;

  EFI_HOB_GENERIC_HEADER Header;
  CopyMem(&Header, HobList, sizeof(Header));
  if (Header.HobType == EFI_HOB_TYPE_HANDOFF && Header.HobLength >= sizeof(EFI_HOB_HANDOFF_INFO_TABLE)) {
    EFI_PHYSICAL_ADDRESS EndOfHobList;
    CopyMem(&EndOfHobList, HobList + OFFSET_OF(EFI_HOB_HANDOFF_INFO_TABLE, EfiEndOfHobList),
            sizeof(EndOfHobList));
    UINTN EndHob = (UINTN)EndOfHobList;
    if (EndHob >= (UINTN)HobList) {
      Limit = (CONST UINT8 *)EndHob + sizeof(EFI_HOB_GENERIC_HEADER);
    }
  }

  for (;;) {
    if (Limit != nullptr && (UINTN)(Limit - Hob) < sizeof(EFI_HOB_GENERIC_HEADER)) {
      return FALSE;
    }
    CopyMem(&Header, Hob, sizeof(Header));
    if (Header.HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return FALSE;
    }
    UINTN Length = Header.HobLength;
    if (Length < sizeof(EFI_HOB_GENERIC_HEADER)) {
      return FALSE;
    }
    if (Limit != nullptr && Length > (UINTN)(Limit - Hob)) {
      return FALSE;
    }
    if (Header.HobType == EFI_HOB_TYPE_GUID_EXTENSION && Length >= sizeof(EFI_HOB_GUID_TYPE) &&
        CompareMem(Hob + sizeof(EFI_HOB_GENERIC_HEADER), &gEfiGenericVariableGuid, sizeof(EFI_GUID)) == 0) {
      // Past a HOB's own length come the next HOB's header bytes, which
      // the list always holds (at least its end HOB), unless the handoff
      // HOB says the list ends sooner.
      if (Limit != nullptr && (UINTN)(Limit - Hob) < LEVEL_HOB_DATA_OFFSET + sizeof(UINT32)) {
        return FALSE;
      }
      *Level = ReadLittleEndian32(Hob + LEVEL_HOB_DATA_OFFSET);
      return TRUE;
    }
    Hob += Length;
  }
}

static UINT32 ReadCmosErrorLevel(VOID) {
  UINT32 Level = 0;
  for (UINTN Byte = 0; Byte < 4; Byte++) {
    // Bit 7 of the index port masks NMIs; the index is written as it is.
    IoWrite8(CMOS_INDEX_PORT, (UINT8)(CMOS_ERROR_LEVEL_INDEX + Byte));
    Level |= (UINT32)IoRead8(CMOS_DATA_PORT) << (8 * Byte);
  }
  return Level;
}

EFI_STATUS EFIAPI DebugPrintErrorLevelConstructor(IN EFI_HANDLE ImageHandle,
                                                  IN EFI_SYSTEM_TABLE *SystemTable) {
  mDebugPrintErrorLevel = INITIAL_ERROR_LEVEL;
  if (mDebugPrintErrorLevel != 0) {
    mDebugPrintErrorLevelSettled = TRUE;
  } else if (SystemTable->NumberOfTableEntries == 0) {
    if ((FALLBACK_LEVEL_WORD & MAX_BIT) != 0) {
      mDebugPrintErrorLevelSettled = TRUE;
      mDebugPrintErrorLevel = (UINT32)FALLBACK_LEVEL_WORD;
    }
  } else {
    CONST UINT8 *HobList = FindHobList(SystemTable);
    UINT32 Level = 0;
    if (HobList != nullptr && FindLevelHob(HobList, &Level)) {
      mDebugPrintErrorLevelSettled = TRUE;
      mDebugPrintErrorLevel = Level;
    }
  }

  mSystemTable = SystemTable;
  EFI_STATUS Status = SystemTable->BootServices->InstallMultipleProtocolInterfaces(
      &ImageHandle, &gEfiDebugMaskProtocolGuid, &mDebugMaskProtocol, (VOID *)nullptr);

  // Settles the level from the remaining sources while the entry still runs
  // at TPL_APPLICATION.
  (VOID) GetDebugPrintErrorLevel();
  return Status;
}

EFI_STATUS EFIAPI DebugPrintErrorLevelDestructor(IN EFI_HANDLE ImageHandle,
                                                 IN EFI_SYSTEM_TABLE *SystemTable) {
  return SystemTable->BootServices->UninstallMultipleProtocolInterfaces(
      ImageHandle, &gEfiDebugMaskProtocolGuid, &mDebugMaskProtocol, (VOID *)nullptr);
}

UINT32 EFIAPI GetDebugPrintErrorLevel(VOID) {
  if (mSystemTable == nullptr) {
    return INITIAL_ERROR_LEVEL;
  }
  if (mDebugPrintErrorLevelSettled) {
    return mDebugPrintErrorLevel;
  }

  // The current TPL: raised and restored at once, only to learn the old one.
  EFI_TPL CurrentTpl = mSystemTable->BootServices->RaiseTPL(TPL_HIGH_LEVEL);
  mSystemTable->BootServices->RestoreTPL(CurrentTpl);
  // Variable services may not be called above TPL_CALLBACK; a later call
  // tries again.
  if (CurrentTpl > TPL_CALLBACK) {
    return mDebugPrintErrorLevel;
  }
  // A notify function that RestoreTPL dispatched may have printed, and so
  // settled the level, in between.
  if (mDebugPrintErrorLevelSettled) {
    return mDebugPrintErrorLevel;
  }

  // "EFIDebug" is read, once, but never becomes the level: whatever the
  // read returns is taken as not found. Without runtime services there is
  // nothing to read.
  if (mSystemTable->RuntimeServices != nullptr) {
    UINT64 Variable = 0;
    UINTN Size = sizeof(Variable);
    (VOID) mSystemTable->RuntimeServices->GetVariable(mDebugVariableName, &gEfiGenericVariableGuid, nullptr,
                                                      &Size, &Variable);
  }
  mDebugPrintErrorLevelSettled = TRUE;

  if (mDebugPrintErrorLevel == 0) {
    mDebugPrintErrorLevel = ReadCmosErrorLevel();
  }
  return mDebugPrintErrorLevel;
}

// The library class's setter: the same effect as SetDebugMask.
BOOLEAN EFIAPI SetDebugPrintErrorLevel(IN UINT32 ErrorLevel) {
  mDebugPrintErrorLevel = ErrorLevel;
  return TRUE;
}

// Answers the cached level; no source is consulted.
static EFI_STATUS EFIAPI GetDebugMask(IN EFI_DEBUG_MASK_PROTOCOL *This, IN OUT UINTN *CurrentDebugMask) {
  (VOID) This;
  if (CurrentDebugMask == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *CurrentDebugMask = (UINTN)mDebugPrintErrorLevel;
  return EFI_SUCCESS;
}

// Only the low 32 bits count. The settled flag is left as it is, so a level
// set before settling may still be replaced by the CMOS bytes if it is 0.
static EFI_STATUS EFIAPI SetDebugMask(IN EFI_DEBUG_MASK_PROTOCOL *This, IN UINTN NewDebugMask) {
  (VOID) This;
  mDebugPrintErrorLevel = (UINT32)NewDebugMask;
  return EFI_SUCCESS;
}
