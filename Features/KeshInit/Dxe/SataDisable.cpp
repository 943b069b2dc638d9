// SPDX-License-Identifier: BSD-2-Clause-Patent
// Switching off the embedded SATA port that holds a hidden redundant OS.
#include "KeshInit.h"
#include "PlatformProtocols.h"
#include "AutoGen.h"
#include <Library/UefiBootServicesTableLib.h>
#include <Library/BaseLib.h>
#include <Library/PcdLib.h>
#include <Library/PciLib.h>
#include <Library/RegisterAccessLib.h>
#include <Library/DebugLib.h>

#define SATA_PORT_DISABLE_REGISTER 0x03101800u
#define DIE_BUS_REGISTER_OFFSET 0x84
#define DIE_LIMIT 8
#define AHCI_PORT_LIMIT 8
// Token 236 holds bit (die * 8 + port + 8): a 64-bit value covers dies 1 to 6.
#define PCD_MASK_DIE_LIMIT 7

static UINT32 DieBusRegister(IN UINT8 Die) {
  return PciRead32(PCI_LIB_ADDRESS(0, 0x18 + Die, 0, DIE_BUS_REGISTER_OFFSET));
}

static UINT32 DieBusNumber(IN UINT8 Die) {
  return DieBusRegister(Die) & 0xFF;
}

// The first entry whose name contains Location; a list without entries, or
// an entry without a name, matches nothing.
static SataPortEntry *FindSataPort(IN SataPortEntry *Ports, IN UINT8 Count, IN CONST CHAR16 *Location) {
  if (Ports == nullptr) {
    return nullptr;
  }
  for (UINT8 Index = 0; Index < Count; Index++) {
    if (Ports[Index].Name != nullptr && StrStr(Ports[Index].Name, Location) != nullptr) {
      return &Ports[Index];
    }
  }
  return nullptr;
}

EFI_STATUS EmbeddedSataPortDisablement(VOID) {
  EFI_STATUS Status;
  OrvexNvramAttributeProtocol *Nvram;
  VroSataProtocol *Sata;
  VroPlatformIdProtocol *Identity;
  PlatformIdRecord *Record;
  CHAR16 Value[NVRAM_ATTRIBUTE_VALUE_SIZE / sizeof(CHAR16)];
  UINT64 Config = 0;
  UINT8 SataMode = 0;
  SataPortEntry *Ports = nullptr;
  UINT8 Count = 0;
  UINT8 TargetDie;

  Status = gBS->LocateProtocol(&gOrvexNvramAttributeProtocolGuid, nullptr, (VOID **)&Nvram);
  if (EFI_ERROR(Status)) {
    DEBUG((DEBUG_ERROR,
           "EmbeddedSataPortDisablement - LocateProtocol gOrvexNvramAttributeProtocolGuid Error: %r\n",
           Status));
    return Status;
  }
  Status = gBS->LocateProtocol(&gVroSataProtocolGuid, nullptr, (VOID **)&Sata);
  if (EFI_ERROR(Status)) {
    DEBUG((DEBUG_ERROR, "EmbeddedSataPortDisablement - LocateProtocol gVroSataProtocolGuid Error: %r\n",
           Status));
    return Status;
  }
  Status = gBS->LocateProtocol(&gVroPlatformIdProtocolGuid, nullptr, (VOID **)&Identity);
  if (EFI_ERROR(Status)) {
    DEBUG((DEBUG_ERROR, "EmbeddedSataPortDisablement - LocateProtocol VroPlatformIdProtocol Error: %r\n",
           Status));
    return Status;
  }
  Status = KeshGetPlatformId(Identity, &Record);
  if (EFI_ERROR(Status)) {
    DEBUG((DEBUG_ERROR, "EmbeddedSataPortDisablement - VroPlatformIdProtocol->GetIdPtr Error: %r\n", Status));
    return Status;
  }

  // No hidden redundant OS on a SATA port: nothing to do here.
  if (!KeshAttributeIs(Nvram, u"RedundantOsState", u"Hidden")) {
    return EFI_SUCCESS;
  }
  if (!KeshReadAttribute(Nvram, u"RedundantOsLocation", Value) || StrStr(Value, u"Port") == nullptr) {
    return EFI_SUCCESS;
  }
  if (EFI_ERROR(Sata->GetSataConfig(Sata, &Config, &SataMode))) {
    return EFI_SUCCESS;
  }
  if (EFI_ERROR(Sata->GetPortList(Sata, &Ports, &Count))) {
    return EFI_SUCCESS;
  }
  SataPortEntry *Port = FindSataPort(Ports, Count, Value);
  if (Port == nullptr) {
    return EFI_SUCCESS;
  }

  switch (Record->SystemId) {
  case SYSTEM_ID_2039:
  case SYSTEM_ID_2040:
    if (SataMode == 1) {
      if (Port->Die != 0) {
        return EFI_NOT_FOUND;
      }
      TargetDie = 2;
    } else {
      TargetDie = Port->Die == 0 ? 0 : 2;
    }
    break;
  case SYSTEM_ID_2041:
    TargetDie = Port->Die;
    break;
  default:
    DEBUG((DEBUG_ERROR, "EmbeddedSataPortDisablement - Unsupported System ID = %x\n", Record->SystemId));
    return EFI_UNSUPPORTED;
  }

  // Die 7 passes the die limit but its port bit lies beyond token 236, and a
  // port must never be disabled without its record.
  if (TargetDie >= DIE_LIMIT || Port->AhciPort >= AHCI_PORT_LIMIT || TargetDie == PCD_MASK_DIE_LIMIT) {
    DEBUG((DEBUG_ERROR, "EmbeddedSataPortDisablement - Out of Spec. - Target Die Number = %x\n", TargetDie));
    DEBUG((DEBUG_ERROR, "EmbeddedSataPortDisablement - Out of Spec. - Target AHCI PortNumber = %x\n",
           Port->AhciPort));
    return EFI_UNSUPPORTED;
  }

  // A die the platform does not populate answers all ones: its "bus" 0xFF
  // is nobody's, so the port is neither recorded nor switched off.
  UINT32 BusRegister = DieBusRegister(TargetDie);
  if (BusRegister == 0xFFFFFFFFu) {
    DEBUG((DEBUG_ERROR, "EmbeddedSataPortDisablement - Die %x Bus Register Error: 0x%x\n", TargetDie,
           BusRegister));
    return EFI_DEVICE_ERROR;
  }

  if (TargetDie == 0) {
    LibPcdSet8S(_PCD_TOKEN_PcdEmbeddedSataDie0Port0Disable + Port->AhciPort, 1);
  } else {
    PcdSet64S(PcdEmbeddedSataPortDisableMask, LShiftU64(1, (UINTN)TargetDie * 8 + Port->AhciPort + 8));
  }
  DEBUG((DEBUG_INFO, "EmbeddedSataPortDisablement - Disable SATA Port %x on Die %x\n", Port->AhciPort,
         TargetDie));

  UpdateIndirectRegister(DieBusNumber(TargetDie), SATA_PORT_DISABLE_REGISTER, 0xFFFFFFFE, 0x00000001, 0);
  UpdateIndirectRegister(DieBusNumber(TargetDie), SATA_PORT_DISABLE_REGISTER, 0xFFFFFFFF,
                         0x00010000u << Port->AhciPort, 0);
  UpdateIndirectRegister(DieBusNumber(TargetDie), SATA_PORT_DISABLE_REGISTER, 0xFFFFFFFE, 0x00000000, 0);
  return EFI_SUCCESS;
}
