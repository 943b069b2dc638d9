// SPDX-License-Identifier: BSD-2-Clause-Patent
// The protocol database: handles, interfaces, install notifies with their
// registration keys, and the boot services over them.
#include "Dxe/DxeImpl.h"

#include <fmt/format.h>

#include <algorithm>

namespace sim {

namespace {

// A GUID/interface list longer than this means the NULL terminator is missing.
constexpr size_t kMaxProtocolPairs = 64;

struct ProtocolPair {
  EFI_GUID *guid;
  VOID *iface;
};

// Reads NULL-terminated GUID/interface pairs; false when no terminator came.
bool readPairs(VA_LIST &args, std::vector<ProtocolPair> &pairs) {
  for (size_t i = 0; i < kMaxProtocolPairs; i++) {
    EFI_GUID *guid = VA_ARG(args, EFI_GUID *);
    if (guid == nullptr) {
      return true;
    }
    VOID *iface = VA_ARG(args, VOID *);
    pairs.push_back(ProtocolPair{guid, iface});
  }
  return false;
}

EFI_STATUS EFIAPI InstallProtocolInterfaceService(EFI_HANDLE *handle, EFI_GUID *protocol,
                                                  EFI_INTERFACE_TYPE interfaceType, VOID *iface) {
  auto &core = active();
  if (auto failed = core.enter("InstallProtocolInterface", TPL_NOTIFY, protocol)) {
    return *failed;
  }
  if (handle == nullptr || protocol == nullptr || interfaceType != EFI_NATIVE_INTERFACE) {
    return EFI_INVALID_PARAMETER;
  }
  return core.install(handle, *protocol, iface);
}

EFI_STATUS EFIAPI ReinstallProtocolInterfaceService(EFI_HANDLE handle, EFI_GUID *protocol, VOID *oldIface,
                                                    VOID *newIface) {
  auto &core = active();
  if (auto failed = core.enter("ReinstallProtocolInterface", TPL_NOTIFY, protocol)) {
    return *failed;
  }
  if (protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto index = core.liveHandle(handle);
  if (!index) {
    return EFI_INVALID_PARAMETER;
  }
  auto &interfaces = core.handles[*index].interfaces;
  auto it = std::find_if(interfaces.begin(), interfaces.end(), [&](const DxeCore::Impl::Interface &entry) {
    return sameGuid(entry.guid, *protocol) && entry.iface == oldIface;
  });
  if (it == interfaces.end()) {
    return EFI_NOT_FOUND;
  }
  // A reinstall is a new install to the notify registrations.
  it->iface = newIface;
  it->seq = ++core.installSeq;
  core.installNotes.push_back(InstallNote{core.machine.nowNs(), *protocol, core.image});
  core.notifyInstalled(*protocol);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI UninstallProtocolInterfaceService(EFI_HANDLE handle, EFI_GUID *protocol, VOID *iface) {
  auto &core = active();
  if (auto failed = core.enter("UninstallProtocolInterface", TPL_NOTIFY, protocol)) {
    return *failed;
  }
  if (protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return core.uninstall(handle, *protocol, iface);
}

EFI_STATUS handleProtocol(DxeCore::Impl &core, EFI_HANDLE handle, EFI_GUID *protocol, VOID **iface) {
  auto failed = core.enter("HandleProtocol", TPL_NOTIFY, protocol);
  if (iface != nullptr) {
    *iface = nullptr;
  }
  if (failed) {
    return *failed;
  }
  if (protocol == nullptr || iface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto index = core.liveHandle(handle);
  if (!index) {
    return EFI_INVALID_PARAMETER;
  }
  for (const auto &entry : core.handles[*index].interfaces) {
    if (sameGuid(entry.guid, *protocol)) {
      *iface = entry.iface;
      return EFI_SUCCESS;
    }
  }
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI RegisterProtocolNotifyService(EFI_GUID *protocol, EFI_EVENT event, VOID **registration) {
  auto &core = active();
  if (auto failed = core.enter("RegisterProtocolNotify", TPL_NOTIFY, protocol)) {
    return *failed;
  }
  if (protocol == nullptr || registration == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto eventIndex = core.openEvent(event);
  if (!eventIndex) {
    core.diagnose("RegisterProtocolNotify with an unknown or closed event");
    return EFI_INVALID_PARAMETER;
  }
  core.events[*eventIndex].notifyProtocol = *protocol;
  size_t index = core.registrations.size();
  DxeCore::Impl::Registration record{std::make_unique<uint64_t>(index), *protocol, *eventIndex,
                                     core.installSeq, true};
  void *key = record.token.get();
  core.registrations.push_back(std::move(record));
  core.registrationIndex.emplace(key, index);
  *registration = key;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateHandleService(EFI_LOCATE_SEARCH_TYPE searchType, EFI_GUID *protocol, VOID *searchKey,
                                      UINTN *bufferSize, EFI_HANDLE *buffer) {
  auto &core = active();
  if (auto failed = core.enter("LocateHandle", TPL_NOTIFY, protocol)) {
    return *failed;
  }
  if (bufferSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  std::vector<EFI_HANDLE> found;
  std::optional<std::pair<size_t, uint64_t>> advance; // registration to move on success
  switch (searchType) {
  case AllHandles:
    for (const auto &record : core.handles) {
      if (record.alive) {
        found.push_back(record.token.get());
      }
    }
    break;
  case ByProtocol: {
    if (protocol == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    std::vector<std::pair<uint64_t, EFI_HANDLE>> ordered;
    for (const auto &record : core.handles) {
      if (!record.alive) {
        continue;
      }
      for (const auto &entry : record.interfaces) {
        if (sameGuid(entry.guid, *protocol)) {
          ordered.push_back({entry.seq, record.token.get()});
        }
      }
    }
    std::sort(ordered.begin(), ordered.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &item : ordered) {
      found.push_back(item.second);
    }
    break;
  }
  case ByRegisterNotify: {
    auto reg = core.liveRegistration(searchKey);
    if (!reg) {
      core.diagnose("LocateHandle with an unknown registration key");
      return EFI_INVALID_PARAMETER;
    }
    auto next = core.nextInterface(core.registrations[*reg].guid, core.registrations[*reg].position);
    if (next) {
      const auto &record = core.handles[next->first];
      found.push_back(record.token.get());
      advance = std::pair{*reg, record.interfaces[next->second].seq};
    }
    break;
  }
  default:
    return EFI_INVALID_PARAMETER;
  }
  if (found.empty()) {
    return EFI_NOT_FOUND;
  }
  UINTN needed = found.size() * sizeof(EFI_HANDLE);
  if (*bufferSize < needed) {
    *bufferSize = needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  std::copy(found.begin(), found.end(), buffer);
  *bufferSize = needed;
  if (advance) {
    core.registrations[advance->first].position = advance->second;
  }
  return EFI_SUCCESS;
}

EFI_STATUS locateProtocol(DxeCore::Impl &core, EFI_GUID *protocol, VOID *registration, VOID **iface) {
  auto failed = core.enter("LocateProtocol", TPL_NOTIFY, protocol);
  if (iface != nullptr) {
    *iface = nullptr;
  }
  if (failed) {
    return *failed;
  }
  if (protocol == nullptr || iface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (registration == nullptr) {
    auto first = core.nextInterface(*protocol, 0);
    if (!first) {
      return EFI_NOT_FOUND;
    }
    *iface = core.handles[first->first].interfaces[first->second].iface;
    return EFI_SUCCESS;
  }
  auto reg = core.liveRegistration(registration);
  if (!reg) {
    core.diagnose("LocateProtocol with an unknown registration key");
    return EFI_NOT_FOUND;
  }
  auto &record = core.registrations[*reg];
  if (!sameGuid(record.guid, *protocol)) {
    core.diagnose(fmt::format("LocateProtocol of {} with a registration key for {}", guidToString(*protocol),
                              guidToString(record.guid)));
  }
  auto next = core.nextInterface(record.guid, record.position);
  if (!next) {
    return EFI_NOT_FOUND;
  }
  const auto &entry = core.handles[next->first].interfaces[next->second];
  record.position = entry.seq;
  *iface = entry.iface;
  return EFI_SUCCESS;
}

// The protocol lookups keep what they found, for the boot's record.
EFI_STATUS EFIAPI LocateProtocolService(EFI_GUID *protocol, VOID *registration, VOID **iface) {
  auto &core = active();
  EFI_STATUS status = locateProtocol(core, protocol, registration, iface);
  core.failures.noteLookup(status);
  return status;
}

EFI_STATUS EFIAPI HandleProtocolService(EFI_HANDLE handle, EFI_GUID *protocol, VOID **iface) {
  auto &core = active();
  EFI_STATUS status = handleProtocol(core, handle, protocol, iface);
  core.failures.noteLookup(status);
  return status;
}

// What both multiple-interface services check first: a failure rule keyed
// to the first GUID, then the list's terminator.
std::optional<EFI_STATUS> enterMultiple(DxeCore::Impl &core, const std::string &service,
                                        const std::vector<ProtocolPair> &pairs, bool terminated) {
  if (auto failed = core.enter(service, TPL_NOTIFY, pairs.empty() ? nullptr : pairs.front().guid)) {
    return failed;
  }
  if (!terminated) {
    core.diagnose(service + " without a NULL terminator");
    return EFI_INVALID_PARAMETER;
  }
  return std::nullopt;
}

EFI_STATUS EFIAPI InstallMultipleProtocolInterfacesService(EFI_HANDLE *handle, ...) {
  std::vector<ProtocolPair> pairs;
  VA_LIST args;
  VA_START(args, handle);
  bool terminated = readPairs(args, pairs);
  VA_END(args);

  auto &core = active();
  if (auto refused = enterMultiple(core, "InstallMultipleProtocolInterfaces", pairs, terminated)) {
    return *refused;
  }
  if (handle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  // Notifies wait until every interface is in place.
  EFI_TPL old = core.tpl;
  if (old < TPL_NOTIFY) {
    core.setTpl(TPL_NOTIFY);
  }
  EFI_HANDLE original = *handle;
  EFI_STATUS status = EFI_SUCCESS;
  size_t done = 0;
  for (; done < pairs.size(); done++) {
    status = core.install(handle, *pairs[done].guid, pairs[done].iface);
    if (EFI_ERROR(status)) {
      break;
    }
  }
  if (EFI_ERROR(status)) {
    for (size_t i = done; i-- > 0;) {
      core.uninstall(*handle, *pairs[i].guid, pairs[i].iface);
    }
    *handle = original;
  }
  core.dispatchAbove(old);
  return status;
}

EFI_STATUS EFIAPI UninstallMultipleProtocolInterfacesService(EFI_HANDLE handle, ...) {
  std::vector<ProtocolPair> pairs;
  VA_LIST args;
  VA_START(args, handle);
  bool terminated = readPairs(args, pairs);
  VA_END(args);

  auto &core = active();
  if (auto refused = enterMultiple(core, "UninstallMultipleProtocolInterfaces", pairs, terminated)) {
    return *refused;
  }
  auto index = core.liveHandle(handle);
  if (!index) {
    return EFI_INVALID_PARAMETER;
  }
  // All or nothing: every pair must be on the handle before any goes.
  auto remaining = core.handles[*index].interfaces;
  for (const auto &pair : pairs) {
    auto it = std::find_if(remaining.begin(), remaining.end(), [&](const DxeCore::Impl::Interface &entry) {
      return sameGuid(entry.guid, *pair.guid) && entry.iface == pair.iface;
    });
    if (it == remaining.end()) {
      return EFI_INVALID_PARAMETER;
    }
    remaining.erase(it);
  }
  for (const auto &pair : pairs) {
    core.uninstall(handle, *pair.guid, pair.iface);
  }
  return EFI_SUCCESS;
}

} // namespace

void installProtocolServices(EFI_BOOT_SERVICES &boot) {
  boot.InstallProtocolInterface = &InstallProtocolInterfaceService;
  boot.ReinstallProtocolInterface = &ReinstallProtocolInterfaceService;
  boot.UninstallProtocolInterface = &UninstallProtocolInterfaceService;
  boot.HandleProtocol = &HandleProtocolService;
  boot.RegisterProtocolNotify = &RegisterProtocolNotifyService;
  boot.LocateHandle = &LocateHandleService;
  boot.LocateProtocol = &LocateProtocolService;
  boot.InstallMultipleProtocolInterfaces = &InstallMultipleProtocolInterfacesService;
  boot.UninstallMultipleProtocolInterfaces = &UninstallMultipleProtocolInterfacesService;
}

EFI_HANDLE DxeCore::Impl::newHandle(bool pinned) {
  size_t index = handles.size();
  handles.push_back(HandleRecord{std::make_unique<uint64_t>(index), {}, pinned, true});
  EFI_HANDLE handle = handles.back().token.get();
  handleIndex.emplace(handle, index);
  return handle;
}

std::optional<size_t> DxeCore::Impl::liveHandle(EFI_HANDLE handle) const {
  auto it = handleIndex.find(handle);
  if (it == handleIndex.end() || !handles[it->second].alive) {
    return std::nullopt;
  }
  return it->second;
}

EFI_STATUS DxeCore::Impl::install(EFI_HANDLE *handle, const EFI_GUID &guid, void *iface) {
  std::optional<size_t> index;
  if (*handle != nullptr) {
    index = liveHandle(*handle);
    if (!index) {
      return EFI_INVALID_PARAMETER;
    }
    for (const auto &entry : handles[*index].interfaces) {
      if (sameGuid(entry.guid, guid)) {
        return EFI_INVALID_PARAMETER;
      }
    }
  } else {
    *handle = newHandle(false);
    index = handles.size() - 1;
  }
  handles[*index].interfaces.push_back(Interface{guid, iface, ++installSeq});
  installNotes.push_back(InstallNote{machine.nowNs(), guid, image});
  notifyInstalled(guid);
  return EFI_SUCCESS;
}

EFI_STATUS DxeCore::Impl::uninstall(EFI_HANDLE handle, const EFI_GUID &guid, void *iface) {
  auto index = liveHandle(handle);
  if (!index) {
    return EFI_INVALID_PARAMETER;
  }
  auto &record = handles[*index];
  auto it = std::find_if(record.interfaces.begin(), record.interfaces.end(), [&](const Interface &entry) {
    return sameGuid(entry.guid, guid) && entry.iface == iface;
  });
  if (it == record.interfaces.end()) {
    return EFI_NOT_FOUND;
  }
  record.interfaces.erase(it);
  // A handle exists only while it carries a protocol, unless the platform made it.
  if (record.interfaces.empty() && !record.pinned) {
    record.alive = false;
  }
  return EFI_SUCCESS;
}

void DxeCore::Impl::notifyInstalled(const EFI_GUID &guid) {
  for (const auto &reg : registrations) {
    if (reg.alive && sameGuid(reg.guid, guid)) {
      signal(reg.event);
    }
  }
  dispatchAbove(tpl);
}

std::optional<std::pair<size_t, size_t>> DxeCore::Impl::nextInterface(const EFI_GUID &guid,
                                                                      uint64_t after) const {
  std::optional<std::pair<size_t, size_t>> best;
  uint64_t bestSeq = 0;
  for (size_t h = 0; h < handles.size(); h++) {
    if (!handles[h].alive) {
      continue;
    }
    const auto &interfaces = handles[h].interfaces;
    for (size_t i = 0; i < interfaces.size(); i++) {
      const auto &entry = interfaces[i];
      if (entry.seq > after && sameGuid(entry.guid, guid) && (!best || entry.seq < bestSeq)) {
        best = std::pair{h, i};
        bestSeq = entry.seq;
      }
    }
  }
  return best;
}

std::optional<size_t> DxeCore::Impl::liveRegistration(const void *key) const {
  auto it = registrationIndex.find(key);
  if (it == registrationIndex.end() || !registrations[it->second].alive) {
    return std::nullopt;
  }
  return it->second;
}

void DxeCore::Impl::dropRegistrations(size_t event) {
  for (auto &reg : registrations) {
    if (reg.event == event) {
      reg.alive = false;
    }
  }
}

} // namespace sim
