// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "FailureModel.h"

#include <PlatformProtocols.h>
#include <Protocol/DebugPrintSvc.h>
#include <Protocol/DxeSmmReadyToLock.h>
#include <Protocol/PciEnumerationComplete.h>

namespace sim {

namespace {

constexpr std::string_view kDriver = "KeshInitDxe";
constexpr std::string_view kEndOfDxe = "KeshOnEndOfDxe";
constexpr std::string_view kPciEnum = "KeshOnPciEnumComplete";
constexpr std::string_view kHandOff = "OrunS3SaveCloseTableCallBack";
constexpr std::string_view kReadyToLock = "S3ScriptLockNotify";

} // namespace

const std::vector<SilentPath> &silentPaths() {
  static const std::vector<SilentPath> kPaths = {
      {"LocateProtocol", gEfiPciEnumerationCompleteProtocolGuid, kDriver, kPciEnum, 0,
       "the check that enumeration is complete",
       "returns without a word and stays armed for the protocol's installation",
       {"runtime-mmio", "events.closed"}},
      {"LocateProtocol", gEfiDxeSmmReadyToLockProtocolGuid, "", kReadyToLock, 0,
       "the check that SMM is ready to lock",
       "returns and stays armed; S3 captures keep going to the boot script",
       {"events.closed", "s3.handoff", "s3.resume", "pool.leaks"}},
      {"LocateProtocol", gVroPlatformIdProtocolGuid, kDriver, kEndOfDxe, 1,
       "ActivateSpiProtectLock: the identity protocol", "the protect bit is set and nothing is locked",
       {"spi.lock"}},
      {"LocateProtocol", gUsbPortControlProtocolGuid, kDriver, kEndOfDxe, 1,
       "PlatformUsbPolicy: the port-control protocol", "the USB policy returns the status; nothing is switched",
       {"usb-policy", "spi.armed-before-ports"}},
      {"LocateProtocol", gOrvexNvramAttributeProtocolGuid, kDriver, kEndOfDxe, 1,
       "PlatformUsbPolicy: the attribute protocol", "the USB policy returns the status; nothing is switched",
       {"usb-policy", "spi.armed-before-ports"}},
      {"LocateProtocol", gVroPlatformIdProtocolGuid, kDriver, kEndOfDxe, 2,
       "PlatformUsbPolicy: the identity protocol", "the USB policy returns the status; nothing is switched",
       {"usb-policy", "spi.armed-before-ports"}},
      {"LocateProtocol", gMc5744ProtocolGuid, kDriver, kEndOfDxe, 1,
       "OrvexPlatformUsbDisable: the hub protocol", "prints the locate status and returns it; the hub is left alone",
       {"usb-policy", "spi.armed-before-ports"}},
      {"LocateProtocol", gOrvexNvramAttributeProtocolGuid, kDriver, kEndOfDxe, 2,
       "EmbeddedSataPortDisablement step 1", "prints its locate message and returns the status",
       {"sata-policy", "spi.armed-before-ports"}},
      {"LocateProtocol", gVroSataProtocolGuid, kDriver, kEndOfDxe, 1, "EmbeddedSataPortDisablement step 2",
       "prints its locate message and returns the status", {"sata-policy", "spi.armed-before-ports"}},
      {"LocateProtocol", gVroPlatformIdProtocolGuid, kDriver, kEndOfDxe, 3, "EmbeddedSataPortDisablement step 3",
       "prints its locate message and returns the status", {"sata-policy", "spi.armed-before-ports"}},
      {"LocateProtocol", gDebugPrintSvcProtocolGuid, "", "", 0, "the S3 library's first print",
       "the S3 library's line is not printed", {}},
      {"CloseEvent", std::nullopt, kDriver, kPciEnum, 1, "the last step", "the result is not looked at",
       {"events.closed"}},
      {"CloseEvent", std::nullopt, kDriver, kEndOfDxe, 1, "the first step", "the result is not looked at",
       {"events.closed"}},
      {"CloseEvent", std::nullopt, kDriver, "KeshOnReadyToBoot", 1, "the first step",
       "the result is not looked at; a second Ready to Boot logs again", {"events.closed", "events.once"}},
      {"CloseEvent", std::nullopt, "", kReadyToLock, 1, "the last step", "the result is not looked at",
       {"events.closed"}},
      {"CloseEvent", std::nullopt, "", kHandOff, 1, "the first step",
       "the result is not looked at; a second Ready to Boot runs the hand-off again",
       {"events.closed", "events.once", "s3.handoff", "pool.misuse"}},
      {"SignalEvent", std::nullopt, "", "entry", 0, "the run at registration of a protocol notify",
       "the run is lost; the notify runs when the protocol is installed",
       {"runtime-mmio", "events.closed", "s3.handoff", "s3.resume", "pool.leaks"}},
      {"GetVariable", std::nullopt, "", "", 0, "the error level's \"EFIDebug\" read",
       "any answer counts as not found", {}},
      {"OrvexNvramAttribute.GetAttribute", std::nullopt, kDriver, kEndOfDxe, 0, "an attribute read",
       "the attribute counts as not set", {"usb-policy", "sata-policy", "spi.armed-before-ports"}},
      {"VroPlatformId.GetIdPtr", std::nullopt, kDriver, kEndOfDxe, 1, "PlatformUsbPolicy: the System ID",
       "the USB policy returns the status", {"usb-policy", "spi.armed-before-ports"}},
      {"VroPlatformId.GetIdPtr", std::nullopt, kDriver, kEndOfDxe, 2, "EmbeddedSataPortDisablement step 4",
       "prints its GetIdPtr message and returns the status", {"sata-policy", "spi.armed-before-ports"}},
      {"VroPlatformId.QueryPlatformState", std::nullopt, kDriver, kEndOfDxe, 1,
       "ActivateSpiProtectLock: the PWD query", "any answer but 1 means no PWD: nothing is locked", {"spi.lock"}},
      {"VroSata.GetSataConfig", std::nullopt, kDriver, kEndOfDxe, 1, "EmbeddedSataPortDisablement: the SATA mode",
       "returns success; nothing is disabled", {"sata-policy", "spi.armed-before-ports"}},
      {"VroSata.GetPortList", std::nullopt, kDriver, kEndOfDxe, 1, "EmbeddedSataPortDisablement: the port list",
       "returns success; nothing is disabled", {"sata-policy", "spi.armed-before-ports"}},
      {"UsbPortControl.SetPortMask", std::nullopt, kDriver, kEndOfDxe, 0, "PlatformUsbPolicy: the port mask",
       "the result is not looked at", {"usb-policy", "spi.armed-before-ports"}},
      {"Mc5744.SetPortEnables", std::nullopt, kDriver, kEndOfDxe, 1, "OrvexPlatformUsbDisable: the enables",
       "the result is not looked at", {"usb-policy", "spi.armed-before-ports"}},
      {"Mc5744.ApplyConfig", std::nullopt, kDriver, kEndOfDxe, 1, "OrvexPlatformUsbDisable: applying",
       "the result is not looked at", {"usb-policy", "spi.armed-before-ports"}},
      {"PCD.Set8", std::nullopt, kDriver, kEndOfDxe, 1, "EmbeddedSataPortDisablement: the die 0 record",
       "the result is not looked at; the port is still switched off", {"sata-policy"}},
      {"PCD.Set64", std::nullopt, kDriver, kEndOfDxe, 1, "EmbeddedSataPortDisablement: the other dies' record",
       "the result is not looked at; the port is still switched off", {"sata-policy"}},
      {"SmmCommunication.Communicate", std::nullopt, "", kHandOff, 1, "step 9: the hand-off",
       "the status is ignored; the table is closed and freed", {"s3.handoff", "s3.resume"}},
      {"GetMemorySpaceDescriptor", std::nullopt, kDriver, kPciEnum, 2, "the SPI base check",
       "the base is the controller's unless the map says RAM: the SPI page is reported as usual", {}},
      {"GetMemorySpaceDescriptor", std::nullopt, kDriver, kEndOfDxe, 1, "the SPI base check",
       "the base is the controller's unless the map says RAM: the flash is protected as usual", {}},
      {"PCD.Get64", std::nullopt, "", "entry", 1, "the S3 library's shared private data",
       "the module finds no shared private data and creates its own",
       {"s3.handoff", "s3.resume", "pool.leaks"}},
      {"DebugPrintSvc.DebugPrint", std::nullopt, "", "", 0, "an S3 library line",
       "the service decides whether a line prints", {}},
  };
  return kPaths;
}

const SilentPath *findSilentPath(const FailureHitRecord &hit) {
  for (const SilentPath &path : silentPaths()) {
    if (path.service != hit.service || (!path.image.empty() && path.image != hit.image) ||
        (!path.routine.empty() && path.routine != hit.function) ||
        (path.occurrence != 0 && path.occurrence != hit.occurrence)) {
      continue;
    }
    if (path.guid && (!hit.guid || !sameGuid(*path.guid, *hit.guid))) {
      continue;
    }
    return &path;
  }
  return nullptr;
}

std::optional<std::string_view> answerWithoutStatus(std::string_view service) {
  if (service.starts_with("PCD.Get")) {
    return "answers 0";
  }
  if (service == "VroPlatformId.QueryPlatformState") {
    return "answers 0xFF";
  }
  if (service == "DebugPrintSvc.DebugPrint") {
    return "line lost";
  }
  return std::nullopt;
}

std::string hitCodeName(const FailureHitRecord &hit) {
  return hit.image + " " + (hit.function == "entry" ? std::string("_ModuleEntryPoint") : hit.function);
}

} // namespace sim
