// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore/ServiceNames.h"

#include <algorithm>
#include <cctype>

namespace sim::explore {

const std::vector<std::string_view> &serviceNames() {
  static const std::vector<std::string_view> names = {
      // Boot services.
      "RaiseTPL", "RestoreTPL", "AllocatePages", "FreePages", "GetMemoryMap", "AllocatePool", "FreePool",
      "CreateEvent", "SetTimer", "WaitForEvent", "SignalEvent", "CloseEvent", "CheckEvent",
      "InstallProtocolInterface", "ReinstallProtocolInterface", "UninstallProtocolInterface",
      "HandleProtocol", "RegisterProtocolNotify", "LocateHandle", "LocateDevicePath",
      "InstallConfigurationTable", "LoadImage", "StartImage", "Exit", "UnloadImage", "ExitBootServices",
      "GetNextMonotonicCount", "Stall", "SetWatchdogTimer", "ConnectController", "DisconnectController",
      "OpenProtocol", "CloseProtocol", "OpenProtocolInformation", "ProtocolsPerHandle", "LocateHandleBuffer",
      "LocateProtocol", "InstallMultipleProtocolInterfaces", "UninstallMultipleProtocolInterfaces",
      "CalculateCrc32", "CopyMem", "SetMem", "CreateEventEx",
      // Runtime services.
      "GetTime", "SetTime", "GetWakeupTime", "SetWakeupTime", "SetVirtualAddressMap", "ConvertPointer",
      "GetVariable", "GetNextVariableName", "SetVariable", "GetNextHighMonotonicCount", "ResetSystem",
      "UpdateCapsule", "QueryCapsuleCapabilities", "QueryVariableInfo",
      // DXE services.
      "AddMemorySpace", "AllocateMemorySpace", "FreeMemorySpace", "RemoveMemorySpace",
      "GetMemorySpaceDescriptor", "SetMemorySpaceAttributes", "GetMemorySpaceMap", "AddIoSpace",
      "AllocateIoSpace", "FreeIoSpace", "RemoveIoSpace", "GetIoSpaceDescriptor", "GetIoSpaceMap", "Dispatch",
      "Schedule", "Trust", "ProcessFirmwareVolume", "SetMemorySpaceCapabilities",
      // The PCD protocol.
      "PCD.SetSku", "PCD.Get8", "PCD.Get16", "PCD.Get32", "PCD.Get64", "PCD.GetPtr", "PCD.GetBool",
      "PCD.GetSize", "PCD.Get8Ex", "PCD.Get16Ex", "PCD.Get32Ex", "PCD.Get64Ex", "PCD.GetPtrEx",
      "PCD.GetBoolEx", "PCD.GetSizeEx", "PCD.Set8", "PCD.Set16", "PCD.Set32", "PCD.Set64", "PCD.SetPtr",
      "PCD.SetBool", "PCD.Set8Ex", "PCD.Set16Ex", "PCD.Set32Ex", "PCD.Set64Ex", "PCD.SetPtrEx",
      "PCD.SetBoolEx", "PCD.CallbackOnSet", "PCD.CancelCallback", "PCD.GetNextToken", "PCD.GetNextTokenSpace",
      // The platform's protocols.
      "OrvexNvramAttribute.GetAttribute", "VroPlatformId.GetIdPtr", "VroPlatformId.QueryPlatformState",
      "VroSata.GetSataConfig", "VroSata.GetPortList", "UsbPortControl.SetPortMask", "Mc5744.SetPortEnables",
      "Mc5744.ApplyConfig", "DebugPrintSvc.DebugPrint", "SmmCommunication.Communicate"};
  return names;
}

bool isServiceName(std::string_view name) {
  const auto &names = serviceNames();
  return std::find(names.begin(), names.end(), name) != names.end();
}

namespace {

size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); j++) {
    row[j] = j;
  }
  for (size_t i = 1; i <= a.size(); i++) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); j++) {
      size_t above = row[j];
      bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                  std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

} // namespace

std::optional<std::string> closestName(std::string_view name,
                                       const std::vector<std::string_view> &candidates) {
  // A third of the name may be wrong, at least two letters: past that a
  // suggestion is a guess.
  size_t best = std::max<size_t>(2, name.size() / 3) + 1;
  std::optional<std::string> found;
  for (std::string_view candidate : candidates) {
    size_t distance = editDistance(name, candidate);
    if (distance < best) {
      best = distance;
      found = std::string(candidate);
    }
  }
  return found;
}

} // namespace sim::explore
