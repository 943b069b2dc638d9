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

} // namespace sim::explore
