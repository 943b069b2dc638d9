// Signals what the firmware would have signalled had the driver been in
// the flash image: End of DXE, then Ready to Boot twice. Then asks the
// fixture for its summary.
#include <Uefi.h>
#include <Guid/EventGroup.h>
#include <Library/UefiApplicationEntryPoint.h>
#include <Library/UefiBootServicesTableLib.h>
#include "../OvmfFixtureDxe/FixtureProtocol.h"

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

EFI_STATUS EFIAPI PhaseAppMain(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  (VOID) SystemTable;
  SignalGroup(&gEfiEndOfDxeEventGroupGuid);
  SignalGroup(&gEfiEventReadyToBootGuid);
  SignalGroup(&gEfiEventReadyToBootGuid);
  KESH_OVMF_FIXTURE_PROTOCOL *Fixture = nullptr;
  if (!EFI_ERROR(gBS->LocateProtocol(&gKeshOvmfFixtureProtocolGuid, nullptr, (VOID **)&Fixture))) {
    Fixture->PrintSummary();
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
