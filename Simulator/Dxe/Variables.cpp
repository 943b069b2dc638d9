// SPDX-License-Identifier: BSD-2-Clause-Patent
// Runtime variable services over the core's variable store.
#include "Dxe/DxeImpl.h"

#include <cstring>

namespace sim {

namespace {

EFI_STATUS getVariable(DxeCore::Impl &core, CHAR16 *name, EFI_GUID *guid, UINT32 *attributes, UINTN *dataSize,
                       VOID *data) {
  auto failed = core.enter("GetVariable", TPL_CALLBACK, guid, true);
  core.failures.noteSubject(subjectName(name));
  if (failed) {
    return *failed;
  }
  if (name == nullptr || guid == nullptr || dataSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto it = core.variables.find({std::u16string(name), guidToString(*guid)});
  if (it == core.variables.end()) {
    return EFI_NOT_FOUND;
  }
  const auto &variable = it->second;
  // After ExitBootServices only runtime variables remain visible.
  if (core.exited && (variable.attributes & kVariableRuntimeAccess) == 0) {
    return EFI_NOT_FOUND;
  }
  if (attributes != nullptr) {
    *attributes = variable.attributes;
  }
  if (*dataSize < variable.data.size()) {
    *dataSize = variable.data.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  if (data == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (!variable.data.empty()) {
    std::memcpy(data, variable.data.data(), variable.data.size());
  }
  *dataSize = variable.data.size();
  return EFI_SUCCESS;
}

// A variable read keeps its name and what the caller got, for the boot's record.
EFI_STATUS EFIAPI GetVariableService(CHAR16 *name, EFI_GUID *guid, UINT32 *attributes, UINTN *dataSize,
                                     VOID *data) {
  auto &core = active();
  EFI_STATUS status = getVariable(core, name, guid, attributes, dataSize, data);
  std::vector<uint8_t> value;
  if (status == EFI_SUCCESS && data != nullptr) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    value.assign(bytes, bytes + *dataSize);
  }
  core.failures.noteLookup(status, std::move(value));
  return status;
}

EFI_STATUS EFIAPI SetVariableService(CHAR16 *name, EFI_GUID *guid, UINT32 attributes, UINTN dataSize,
                                     VOID *data) {
  auto &core = active();
  auto failed = core.enter("SetVariable", TPL_CALLBACK, guid, true);
  core.failures.noteSubject(subjectName(name));
  if (failed) {
    return *failed;
  }
  if (name == nullptr || guid == nullptr || name[0] == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if ((attributes & kVariableRuntimeAccess) != 0 && (attributes & kVariableBootServiceAccess) == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (dataSize != 0 && data == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (core.exited && attributes != 0 && (attributes & kVariableRuntimeAccess) == 0) {
    return EFI_INVALID_PARAMETER;
  }
  std::pair<std::u16string, std::string> key{std::u16string(name), guidToString(*guid)};
  auto it = core.variables.find(key);
  bool erase = dataSize == 0 || (attributes & (kVariableBootServiceAccess | kVariableRuntimeAccess)) == 0;
  if (erase) {
    if (it == core.variables.end()) {
      return EFI_NOT_FOUND;
    }
    core.variables.erase(it);
    return EFI_SUCCESS;
  }
  if (it != core.variables.end() && it->second.attributes != attributes) {
    return EFI_INVALID_PARAMETER;
  }
  const auto *bytes = static_cast<const uint8_t *>(data);
  core.variables[key] = DxeCore::Impl::Variable{std::vector<uint8_t>(bytes, bytes + dataSize), attributes};
  return EFI_SUCCESS;
}

} // namespace

void installVariableServices(EFI_RUNTIME_SERVICES &runtime) {
  runtime.GetVariable = &GetVariableService;
  runtime.SetVariable = &SetVariableService;
}

} // namespace sim
