// SPDX-License-Identifier: BSD-2-Clause-Patent
// The USB and SD-card port policy: NVRAM attributes and the System ID
// decide which port groups and internal devices are switched off.
#include "KeshInit.h"
#include "PlatformProtocols.h"
#include <Library/UefiBootServicesTableLib.h>
#include <Library/BaseLib.h>
#include <Library/DebugLib.h>

#define USB_LOCATION_BACK_PORTS_ONLY 0x01
#define USB_LOCATION_FRONT_PORTS 0x02
#define USB_LOCATION_INTERNAL_USB 0x04
#define USB_LOCATION_INTERNAL_SD 0x10

#define USB_MASK_INTERNAL_USB 0x2
#define USB_MASK_INTERNAL_SD 0x8
#define USB_MASK_FRONT_PORTS_2041 0xC

EFI_STATUS OrvexPlatformUsbDisable(IN UINT8 Locations) {
  Mc5744Protocol *Hub;
  Mc5744PortEnables Enables = {1, 1, 1, 1};

  DEBUG((DEBUG_ERROR, "OrvexPlatformUsbDisable Locations = 0x%x\n", Locations));
  EFI_STATUS Status = gBS->LocateProtocol(&gMc5744ProtocolGuid, nullptr, (VOID **)&Hub);
  DEBUG((DEBUG_ERROR, "OrvexPlatformUsbDisable Locate MC5744 Protocol = %r\n", Status));
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if ((Locations & USB_LOCATION_BACK_PORTS_ONLY) != 0) {
    Enables.Enable2 = 0;
    Enables.Enable3 = 0;
  }
  if ((Locations & USB_LOCATION_FRONT_PORTS) != 0) {
    Enables.Enable0 = 0;
    Enables.Enable1 = 0;
  }
  Hub->SetPortEnables(Hub, &Enables);
  Hub->ApplyConfig(Hub, 1);
  return EFI_SUCCESS;
}

EFI_STATUS PlatformUsbPolicy(VOID) {
  EFI_STATUS Status;
  UsbPortControlProtocol *PortControl;
  OrvexNvramAttributeProtocol *Nvram;
  VroPlatformIdProtocol *Identity;
  PlatformIdRecord *Record;
  CHAR16 Value[NVRAM_ATTRIBUTE_VALUE_SIZE / sizeof(CHAR16)];
  BOOLEAN BackPortsOnly = FALSE;
  BOOLEAN InternalUsbOff = FALSE;
  BOOLEAN InternalSdOff = FALSE;

  Status = gBS->LocateProtocol(&gUsbPortControlProtocolGuid, nullptr, (VOID **)&PortControl);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = gBS->LocateProtocol(&gOrvexNvramAttributeProtocolGuid, nullptr, (VOID **)&Nvram);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  if (KeshReadAttribute(Nvram, u"UsbPorts", Value)) {
    // Every platform, whatever its System ID, takes this path.
    if (StrCmp(Value, u"AllOff") == 0 || StrCmp(Value, u"AllOffDynamic") == 0) {
      OrvexPlatformUsbDisable(0);
      return EFI_SUCCESS;
    }
    if (StrCmp(Value, u"OnlyBackPortsOn") == 0) {
      BackPortsOnly = TRUE;
    }
  }
  if (KeshAttributeIs(Nvram, u"InternalUsb", u"Off")) {
    InternalUsbOff = TRUE;
  }
  if (KeshAttributeIs(Nvram, u"InternalSdCard", u"Off")) {
    InternalSdOff = TRUE;
  }
  // A hidden redundant OS adds its location to the settings above.
  if (KeshAttributeIs(Nvram, u"RedundantOsState", u"Hidden")) {
    if (KeshReadAttribute(Nvram, u"RedundantOsLocation", Value)) {
      if (StrCmp(Value, u"InternalUsb") == 0) {
        InternalUsbOff = TRUE;
      } else if (StrCmp(Value, u"InternalSd") == 0) {
        InternalSdOff = TRUE;
      }
    }
  }

  Status = gBS->LocateProtocol(&gVroPlatformIdProtocolGuid, nullptr, (VOID **)&Identity);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = KeshGetPlatformId(Identity, &Record);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  UINT32 PortControlMask = 0;
  UINT8 Locations = 0;
  switch (Record->SystemId) {
  case SYSTEM_ID_2039:
  case SYSTEM_ID_2040:
    if (InternalUsbOff) {
      PortControlMask |= USB_MASK_INTERNAL_USB;
    }
    if (BackPortsOnly) {
      Locations |= USB_LOCATION_BACK_PORTS_ONLY;
    }
    if (InternalSdOff) {
      PortControlMask |= USB_MASK_INTERNAL_SD;
    }
    PortControl->SetPortMask(PortControl, 0, PortControlMask, PortControlMask);
    OrvexPlatformUsbDisable(Locations);
    break;
  case SYSTEM_ID_2041:
    if (BackPortsOnly) {
      PortControl->SetPortMask(PortControl, 0, USB_MASK_FRONT_PORTS_2041, USB_MASK_FRONT_PORTS_2041);
    }
    if (InternalUsbOff) {
      Locations |= USB_LOCATION_INTERNAL_USB;
    }
    if (InternalSdOff) {
      Locations |= USB_LOCATION_INTERNAL_SD;
    }
    OrvexPlatformUsbDisable(Locations);
    break;
  default:
    break;
  }
  return EFI_SUCCESS;
}
