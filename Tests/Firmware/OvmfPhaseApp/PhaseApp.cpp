// SPDX-License-Identifier: BSD-2-Clause-Patent
// Performs the board's timeline under OVMF, where PCI enumeration and SMM
// ready-to-lock are long complete: loads the driver and the S3 client from
// fw_cfg, signals End of DXE and Ready to Boot, exits boot services, in the
// board's order. Each step is bracketed on both UARTs, so that the driver's
// output can be told from the shell's. Then it records the debug mask
// each loaded image answers and ends the run.
#include <Uefi.h>
#include <Guid/EventGroup.h>
#include <Protocol/DebugMask.h>
#include <Library/UefiApplicationEntryPoint.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/BaseMemoryLib.h>
#include "../OvmfFixtureDxe/FixtureProtocol.h"
#include "../OvmfFixtureDxe/OvmfIo.h"

// Services the shared table declares only as slots.
typedef EFI_STATUS(EFIAPI *LOAD_IMAGE)(IN BOOLEAN BootPolicy, IN EFI_HANDLE ParentImageHandle,
                                       IN VOID *DevicePath, IN VOID *SourceBuffer, IN UINTN SourceSize,
                                       OUT EFI_HANDLE *ImageHandle);
typedef EFI_STATUS(EFIAPI *START_IMAGE)(IN EFI_HANDLE ImageHandle, OUT UINTN *ExitDataSize,
                                        OUT CHAR16 **ExitData);
typedef EFI_STATUS(EFIAPI *GET_MEMORY_MAP)(IN OUT UINTN *MemoryMapSize, OUT VOID *MemoryMap,
                                           OUT UINTN *MapKey, OUT UINTN *DescriptorSize,
                                           OUT UINT32 *DescriptorVersion);
typedef VOID(EFIAPI *RESET_SYSTEM)(IN UINTN ResetType, IN EFI_STATUS ResetStatus, IN UINTN DataSize,
                                   IN VOID *ResetData);
#define RESET_SHUTDOWN 2

// The service in a slot the shared table leaves untyped.
template <typename Service> static Service Slot(EFI_UNUSED_SERVICE Untyped) {
  Service Typed;
  static_assert(sizeof(Typed) == sizeof(Untyped));
  CopyMem(&Typed, &Untyped, sizeof(Typed));
  return Typed;
}

static VOID EFIAPI Nothing(IN EFI_EVENT Event, IN VOID *Context) {
  (VOID) Event;
  (VOID) Context;
}

// A member of the group, signalled and closed, signals the whole group.
static EFI_STATUS SignalGroup(EFI_GUID *Group) {
  EFI_EVENT Event;
  EFI_STATUS Status = gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Nothing, nullptr, Group, &Event);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  gBS->SignalEvent(Event);
  return gBS->CloseEvent(Event);
}

typedef struct {
  CONST CHAR8 *Name;
  EFI_DEBUG_MASK_PROTOCOL *Mask;
} LOADED;

static LOADED mLoaded[4];
static UINTN mLoadedCount = 0;

static EFI_STATUS LoadFromFwCfg(EFI_HANDLE Parent, CONST CHAR8 *File, CONST CHAR8 *Name) {
  UINT16 Select = 0;
  UINT32 Size = FwCfgFind(File, &Select);
  if (Size == 0) {
    RecordLine("setup %a: not given to QEMU", Name);
    return EFI_NOT_FOUND;
  }
  VOID *Buffer = nullptr;
  EFI_STATUS Status = gBS->AllocatePool(EfiBootServicesData, Size, &Buffer);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  FwCfgRead(Select, Buffer, Size);
  EFI_HANDLE Image = nullptr;
  Status = Slot<LOAD_IMAGE>(gBS->LoadImage)(FALSE, Parent, nullptr, Buffer, Size, &Image);
  gBS->FreePool(Buffer);
  if (EFI_ERROR(Status)) {
    RecordLine("setup %a: LoadImage %r", Name, Status);
    return Status;
  }
  Status = Slot<START_IMAGE>(gBS->StartImage)(Image, nullptr, nullptr);
  RecordLine("image %a started: %r", Name, Status);
  // An image that failed is unloaded: only a started one can answer later.
  if (!EFI_ERROR(Status) && mLoadedCount < ARRAY_SIZE(mLoaded)) {
    EFI_DEBUG_MASK_PROTOCOL *Mask = nullptr;
    if (EFI_ERROR(gBS->HandleProtocol(Image, &gEfiDebugMaskProtocolGuid, (VOID **)&Mask))) {
      Mask = nullptr;
    }
    mLoaded[mLoadedCount].Name = Name;
    mLoaded[mLoadedCount].Mask = Mask;
    mLoadedCount++;
  }
  return Status;
}

static EFI_STATUS ExitBootServices(EFI_HANDLE ImageHandle) {
  static UINT8 Map[64 * 1024];
  EFI_STATUS Status = EFI_INVALID_PARAMETER;
  // The map can change between the two calls; a second try is the rule.
  for (UINTN Try = 0; Try < 4 && EFI_ERROR(Status); Try++) {
    UINTN Size = sizeof(Map), Key = 0, DescriptorSize = 0;
    UINT32 Version = 0;
    Status = Slot<GET_MEMORY_MAP>(gBS->GetMemoryMap)(&Size, Map, &Key, &DescriptorSize, &Version);
    if (EFI_ERROR(Status)) {
      continue;
    }
    Status = gBS->ExitBootServices(ImageHandle, Key);
  }
  return Status;
}

EFI_STATUS EFIAPI PhaseAppMain(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  KESH_OVMF_FIXTURE_PROTOCOL *Fixture = nullptr;
  EFI_STATUS Status = gBS->LocateProtocol(&gKeshOvmfFixtureProtocolGuid, nullptr, (VOID **)&Fixture);
  if (EFI_ERROR(Status) || Fixture->Revision != KESH_OVMF_FIXTURE_REVISION) {
    RecordLine("setup fixture not found: %r", Status);
    return EFI_NOT_FOUND;
  }
  CONST KESH_OVMF_CONFIG *Config = Fixture->Config;
  BOOLEAN Exited = FALSE;
  for (UINTN Index = 0; Index < Config->StepCount && !Exited; Index++) {
    UINT8 Step = Config->Steps[Index];
    if (Step == KESH_OVMF_STEP_EXIT_BOOT_SERVICES) {
      // The descriptor as the boot leaves it; the GCD is gone afterwards.
      Fixture->RecordGcd();
    }
    RecordLine("step %d", Step);
    UartMark(KESH_OVMF_STEP_OPEN);
    switch (Step) {
    case KESH_OVMF_STEP_LOAD:
      LoadFromFwCfg(ImageHandle, KESH_OVMF_DRIVER_FILE, "KeshInitDxe");
      break;
    case KESH_OVMF_STEP_LOAD_S3_CLIENT:
      LoadFromFwCfg(ImageHandle, KESH_OVMF_CLIENT_FILE, "S3ClientDxe");
      break;
    case KESH_OVMF_STEP_END_OF_DXE:
      SignalGroup(&gEfiEndOfDxeEventGroupGuid);
      break;
    case KESH_OVMF_STEP_READY_TO_BOOT:
      SignalGroup(&gEfiEventReadyToBootGuid);
      break;
    case KESH_OVMF_STEP_EXIT_BOOT_SERVICES:
      Status = ExitBootServices(ImageHandle);
      Exited = !EFI_ERROR(Status);
      break;
    default:
      break;
    }
    UartMark(KESH_OVMF_STEP_CLOSE);
    if (Step == KESH_OVMF_STEP_EXIT_BOOT_SERVICES) {
      RecordLine("setup ExitBootServices: %r", Status);
    }
  }
  if (!Exited) {
    Fixture->RecordGcd();
  }
  for (UINTN Index = 0; Index < mLoadedCount; Index++) {
    UINTN Mask = 0;
    if (mLoaded[Index].Mask == nullptr) {
      RecordLine("debugmask %a none", mLoaded[Index].Name);
      continue;
    }
    Status = mLoaded[Index].Mask->GetDebugMask(mLoaded[Index].Mask, &Mask);
    RecordLine("debugmask %a revision 0x%lx -> %r mask 0x%lx", mLoaded[Index].Name,
               (UINT64)mLoaded[Index].Mask->Revision, Status, (UINT64)Mask);
  }
  Fixture->RecordEnd();
  RecordLine("end");
  if (Exited) {
    // Nothing is left to return to.
    Slot<RESET_SYSTEM>(SystemTable->RuntimeServices->ResetSystem)(RESET_SHUTDOWN, EFI_SUCCESS, 0, nullptr);
  }
  return EFI_SUCCESS;
}

VOID EFIAPI ProcessLibraryConstructorList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  UefiBootServicesTableLibConstructor(ImageHandle, SystemTable);
}

VOID EFIAPI ProcessLibraryDestructorList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
}

EFI_STATUS EFIAPI ProcessModuleEntryPointList(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  return PhaseAppMain(ImageHandle, SystemTable);
}
