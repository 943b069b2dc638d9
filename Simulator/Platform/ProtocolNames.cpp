// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Platform/ProtocolNames.h"

#include <PlatformProtocols.h>
#include <Protocol/DebugPrintSvc.h>
#include <Protocol/SmmCommunication.h>

namespace sim {

std::span<const PlatformProtocol> platformProtocols() {
  static const PlatformProtocol kProtocols[] = {
      {"identity", "VroPlatformId", "platform identity", &gVroPlatformIdProtocolGuid},
      {"nvram", "OrvexNvramAttribute", "NVRAM attribute", &gOrvexNvramAttributeProtocolGuid},
      {"sata", "VroSata", "SATA", &gVroSataProtocolGuid},
      {"usb_port_control", "UsbPortControl", "USB port control", &gUsbPortControlProtocolGuid},
      {"mc5744", "Mc5744", "MC5744 hub controller", &gMc5744ProtocolGuid},
      {"debug_print_service", "DebugPrintSvc", "debug-print service", &gDebugPrintSvcProtocolGuid},
      {"smm_communication", "SmmCommunication", "SMM Communication", &gEfiSmmCommunicationProtocolGuid},
  };
  return kProtocols;
}

} // namespace sim
