// SPDX-License-Identifier: BSD-2-Clause-Patent
// The PCD protocol over the board's dynamic token store. Only the
// token-number getters and setters are modelled; the rest report their use.
#include "Dxe/DxeImpl.h"

#include <fmt/format.h>

namespace sim {

namespace {

uint64_t readToken(std::string_view service, UINTN token, unsigned size) {
  auto &core = active();
  // A getter has no status: a failure rule makes it answer 0.
  bool failed = core.enter(service, TPL_HIGH_LEVEL).has_value();
  core.failures.noteSubject(fmt::format("token {}", token));
  if (failed) {
    return 0;
  }
  auto it = core.pcdTokens.find(token);
  if (it == core.pcdTokens.end()) {
    core.diagnose(fmt::format("PCD token {} read but not in the database", token));
    return 0;
  }
  if (size != 0 && it->second.size != size) {
    core.diagnose(
        fmt::format("PCD token {} holds {} bytes but {} read {}", token, it->second.size, service, size));
  }
  return it->second.value;
}

EFI_STATUS writeToken(std::string_view service, UINTN token, unsigned size, uint64_t value) {
  auto &core = active();
  EFI_STATUS status = EFI_SUCCESS;
  auto failed = core.enter(service, TPL_HIGH_LEVEL);
  core.failures.noteSubject(fmt::format("token {}", token));
  if (failed) {
    status = *failed;
  } else if (auto it = core.pcdTokens.find(token); it == core.pcdTokens.end()) {
    status = EFI_NOT_FOUND;
  } else if (it->second.size != size) {
    status = EFI_INVALID_PARAMETER;
  } else {
    it->second.value = value;
  }
  core.pcdWrites.push_back(PcdWrite{token, size, value, core.image, status});
  return status;
}

void unsupported(std::string_view service) {
  auto &core = active();
  core.diagnose(fmt::format("unsupported service {} called", service));
}

EFI_STATUS unsupportedStatus(std::string_view service) {
  auto &core = active();
  if (auto failed = core.enter(service, TPL_HIGH_LEVEL)) {
    return *failed;
  }
  unsupported(service);
  return EFI_UNSUPPORTED;
}

template <typename RESULT> RESULT unsupportedValue(std::string_view service) {
  active().enterCounted(service, TPL_HIGH_LEVEL);
  unsupported(service);
  return RESULT{};
}

UINT8 EFIAPI Get8(UINTN token) {
  return static_cast<UINT8>(readToken("PCD.Get8", token, 1));
}
UINT16 EFIAPI Get16(UINTN token) {
  return static_cast<UINT16>(readToken("PCD.Get16", token, 2));
}
UINT32 EFIAPI Get32(UINTN token) {
  return static_cast<UINT32>(readToken("PCD.Get32", token, 4));
}
UINT64 EFIAPI Get64(UINTN token) {
  return readToken("PCD.Get64", token, 8);
}
BOOLEAN EFIAPI GetBool(UINTN token) {
  return readToken("PCD.GetBool", token, 1) != 0 ? TRUE : FALSE;
}

UINTN EFIAPI GetSize(UINTN token) {
  auto &core = active();
  bool failed = core.enter("PCD.GetSize", TPL_HIGH_LEVEL).has_value();
  core.failures.noteSubject(fmt::format("token {}", token));
  if (failed) {
    return 0;
  }
  auto it = core.pcdTokens.find(token);
  if (it == core.pcdTokens.end()) {
    core.diagnose(fmt::format("PCD token {} read but not in the database", token));
    return 0;
  }
  return it->second.size;
}

EFI_STATUS EFIAPI Set8(UINTN token, UINT8 value) {
  return writeToken("PCD.Set8", token, 1, value);
}
EFI_STATUS EFIAPI Set16(UINTN token, UINT16 value) {
  return writeToken("PCD.Set16", token, 2, value);
}
EFI_STATUS EFIAPI Set32(UINTN token, UINT32 value) {
  return writeToken("PCD.Set32", token, 4, value);
}
EFI_STATUS EFIAPI Set64(UINTN token, UINT64 value) {
  return writeToken("PCD.Set64", token, 8, value);
}
EFI_STATUS EFIAPI SetBool(UINTN token, BOOLEAN value) {
  return writeToken("PCD.SetBool", token, 1, value != 0 ? 1 : 0);
}

VOID EFIAPI SetSku(UINTN) {
  (void)unsupportedValue<int>("PCD.SetSku");
}
VOID *EFIAPI GetPtr(UINTN) {
  return unsupportedValue<VOID *>("PCD.GetPtr");
}
UINT8 EFIAPI Get8Ex(CONST EFI_GUID *, UINTN) {
  return unsupportedValue<UINT8>("PCD.Get8Ex");
}
UINT16 EFIAPI Get16Ex(CONST EFI_GUID *, UINTN) {
  return unsupportedValue<UINT16>("PCD.Get16Ex");
}
UINT32 EFIAPI Get32Ex(CONST EFI_GUID *, UINTN) {
  return unsupportedValue<UINT32>("PCD.Get32Ex");
}
UINT64 EFIAPI Get64Ex(CONST EFI_GUID *, UINTN) {
  return unsupportedValue<UINT64>("PCD.Get64Ex");
}
VOID *EFIAPI GetPtrEx(CONST EFI_GUID *, UINTN) {
  return unsupportedValue<VOID *>("PCD.GetPtrEx");
}
BOOLEAN EFIAPI GetBoolEx(CONST EFI_GUID *, UINTN) {
  return unsupportedValue<BOOLEAN>("PCD.GetBoolEx");
}
UINTN EFIAPI GetSizeEx(CONST EFI_GUID *, UINTN) {
  return unsupportedValue<UINTN>("PCD.GetSizeEx");
}
EFI_STATUS EFIAPI SetPtr(UINTN, UINTN *, VOID *) {
  return unsupportedStatus("PCD.SetPtr");
}
EFI_STATUS EFIAPI Set8Ex(CONST EFI_GUID *, UINTN, UINT8) {
  return unsupportedStatus("PCD.Set8Ex");
}
EFI_STATUS EFIAPI Set16Ex(CONST EFI_GUID *, UINTN, UINT16) {
  return unsupportedStatus("PCD.Set16Ex");
}
EFI_STATUS EFIAPI Set32Ex(CONST EFI_GUID *, UINTN, UINT32) {
  return unsupportedStatus("PCD.Set32Ex");
}
EFI_STATUS EFIAPI Set64Ex(CONST EFI_GUID *, UINTN, UINT64) {
  return unsupportedStatus("PCD.Set64Ex");
}
EFI_STATUS EFIAPI SetPtrEx(CONST EFI_GUID *, UINTN, UINTN *, VOID *) {
  return unsupportedStatus("PCD.SetPtrEx");
}
EFI_STATUS EFIAPI SetBoolEx(CONST EFI_GUID *, UINTN, BOOLEAN) {
  return unsupportedStatus("PCD.SetBoolEx");
}
EFI_STATUS EFIAPI CallbackOnSet(CONST EFI_GUID *, UINTN, PCD_PROTOCOL_CALLBACK) {
  return unsupportedStatus("PCD.CallbackOnSet");
}
EFI_STATUS EFIAPI CancelCallback(CONST EFI_GUID *, UINTN, PCD_PROTOCOL_CALLBACK) {
  return unsupportedStatus("PCD.CancelCallback");
}
EFI_STATUS EFIAPI GetNextToken(CONST EFI_GUID *, UINTN *) {
  return unsupportedStatus("PCD.GetNextToken");
}
EFI_STATUS EFIAPI GetNextTokenSpace(CONST EFI_GUID **) {
  return unsupportedStatus("PCD.GetNextTokenSpace");
}

} // namespace

void installPcdServices(PCD_PROTOCOL &pcd) {
  pcd.SetSku = &SetSku;
  pcd.Get8 = &Get8;
  pcd.Get16 = &Get16;
  pcd.Get32 = &Get32;
  pcd.Get64 = &Get64;
  pcd.GetPtr = &GetPtr;
  pcd.GetBool = &GetBool;
  pcd.GetSize = &GetSize;
  pcd.Get8Ex = &Get8Ex;
  pcd.Get16Ex = &Get16Ex;
  pcd.Get32Ex = &Get32Ex;
  pcd.Get64Ex = &Get64Ex;
  pcd.GetPtrEx = &GetPtrEx;
  pcd.GetBoolEx = &GetBoolEx;
  pcd.GetSizeEx = &GetSizeEx;
  pcd.Set8 = &Set8;
  pcd.Set16 = &Set16;
  pcd.Set32 = &Set32;
  pcd.Set64 = &Set64;
  pcd.SetPtr = &SetPtr;
  pcd.SetBool = &SetBool;
  pcd.Set8Ex = &Set8Ex;
  pcd.Set16Ex = &Set16Ex;
  pcd.Set32Ex = &Set32Ex;
  pcd.Set64Ex = &Set64Ex;
  pcd.SetPtrEx = &SetPtrEx;
  pcd.SetBoolEx = &SetBoolEx;
  pcd.CallbackOnSet = &CallbackOnSet;
  pcd.CancelCallback = &CancelCallback;
  pcd.GetNextToken = &GetNextToken;
  pcd.GetNextTokenSpace = &GetNextTokenSpace;
}

} // namespace sim
