// Reporting the hub's MMIO pages as runtime memory at PCI enumeration complete.
#include "KeshInit.h"
#include <Protocol/PciEnumerationComplete.h>
#include <Library/UefiBootServicesTableLib.h>

VOID EFIAPI KeshOnPciEnumComplete(IN EFI_EVENT Event, IN VOID *Context) {
  VOID *Interface;
  (VOID) Context;

  // Not yet complete: stay armed for the installation.
  if (EFI_ERROR(gBS->LocateProtocol(&gEfiPciEnumerationCompleteProtocolGuid, nullptr, &Interface))) {
    return;
  }
  // The GCD and SPI work arrives with the PCI configuration library.
  gBS->CloseEvent(Event);
}
