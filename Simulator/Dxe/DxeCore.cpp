// SPDX-License-Identifier: BSD-2-Clause-Patent
// The core itself: tables, configuration table, HOB list, the handlers of
// the slots this firmware never uses, ExitBootServices and the public API.
#include "Dxe/DxeImpl.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

// One core per thread: boots on different threads never share one.
thread_local DxeCore::Impl *gActive = nullptr;

// A slot name as a template argument, so each unused slot gets a handler
// of its own that can say which slot was called.
template <size_t N> struct SlotName {
  constexpr SlotName(const char (&text)[N]) { std::copy_n(text, N, value); }
  char value[N];
};

template <SlotName Name> EFI_STATUS EFIAPI UnusedService() {
  auto &core = active();
  std::string_view full = Name.value;
  std::string_view member = full.substr(full.find('.') + 1);
  auto failed = core.enter(member, TPL_HIGH_LEVEL, nullptr, full.starts_with("RuntimeServices."));
  core.diagnose(fmt::format("unsupported service {} called", full));
  return failed.value_or(EFI_UNSUPPORTED);
}

#define SIM_UNUSED_SLOT(Table, Prefix, Member) (Table).Member = &UnusedService<Prefix "." #Member>

void fillUnusedSlots(DxeCore::Impl &core) {
  auto &bs = core.boot;
  SIM_UNUSED_SLOT(bs, "BootServices", AllocatePages);
  SIM_UNUSED_SLOT(bs, "BootServices", FreePages);
  SIM_UNUSED_SLOT(bs, "BootServices", GetMemoryMap);
  SIM_UNUSED_SLOT(bs, "BootServices", SetTimer);
  SIM_UNUSED_SLOT(bs, "BootServices", WaitForEvent);
  SIM_UNUSED_SLOT(bs, "BootServices", LocateDevicePath);
  SIM_UNUSED_SLOT(bs, "BootServices", LoadImage);
  SIM_UNUSED_SLOT(bs, "BootServices", StartImage);
  SIM_UNUSED_SLOT(bs, "BootServices", Exit);
  SIM_UNUSED_SLOT(bs, "BootServices", UnloadImage);
  SIM_UNUSED_SLOT(bs, "BootServices", GetNextMonotonicCount);
  SIM_UNUSED_SLOT(bs, "BootServices", SetWatchdogTimer);
  SIM_UNUSED_SLOT(bs, "BootServices", ConnectController);
  SIM_UNUSED_SLOT(bs, "BootServices", DisconnectController);
  SIM_UNUSED_SLOT(bs, "BootServices", OpenProtocol);
  SIM_UNUSED_SLOT(bs, "BootServices", CloseProtocol);
  SIM_UNUSED_SLOT(bs, "BootServices", OpenProtocolInformation);
  SIM_UNUSED_SLOT(bs, "BootServices", ProtocolsPerHandle);
  SIM_UNUSED_SLOT(bs, "BootServices", LocateHandleBuffer);

  auto &rt = core.runtime;
  SIM_UNUSED_SLOT(rt, "RuntimeServices", GetTime);
  SIM_UNUSED_SLOT(rt, "RuntimeServices", SetTime);
  SIM_UNUSED_SLOT(rt, "RuntimeServices", GetWakeupTime);
  SIM_UNUSED_SLOT(rt, "RuntimeServices", SetWakeupTime);
  SIM_UNUSED_SLOT(rt, "RuntimeServices", SetVirtualAddressMap);
  SIM_UNUSED_SLOT(rt, "RuntimeServices", ConvertPointer);
  SIM_UNUSED_SLOT(rt, "RuntimeServices", GetNextVariableName);
  SIM_UNUSED_SLOT(rt, "RuntimeServices", GetNextHighMonotonicCount);
  SIM_UNUSED_SLOT(rt, "RuntimeServices", ResetSystem);
  SIM_UNUSED_SLOT(rt, "RuntimeServices", UpdateCapsule);
  SIM_UNUSED_SLOT(rt, "RuntimeServices", QueryCapsuleCapabilities);
  SIM_UNUSED_SLOT(rt, "RuntimeServices", QueryVariableInfo);

  auto &ds = core.dxe;
  SIM_UNUSED_SLOT(ds, "DxeServices", RemoveMemorySpace);
  SIM_UNUSED_SLOT(ds, "DxeServices", AddIoSpace);
  SIM_UNUSED_SLOT(ds, "DxeServices", AllocateIoSpace);
  SIM_UNUSED_SLOT(ds, "DxeServices", FreeIoSpace);
  SIM_UNUSED_SLOT(ds, "DxeServices", RemoveIoSpace);
  SIM_UNUSED_SLOT(ds, "DxeServices", GetIoSpaceDescriptor);
  SIM_UNUSED_SLOT(ds, "DxeServices", GetIoSpaceMap);
  SIM_UNUSED_SLOT(ds, "DxeServices", Dispatch);
  SIM_UNUSED_SLOT(ds, "DxeServices", Schedule);
  SIM_UNUSED_SLOT(ds, "DxeServices", Trust);
  SIM_UNUSED_SLOT(ds, "DxeServices", ProcessFirmwareVolume);
  SIM_UNUSED_SLOT(ds, "DxeServices", SetMemorySpaceCapabilities);
}

#undef SIM_UNUSED_SLOT

EFI_STATUS EFIAPI InstallConfigurationTableService(EFI_GUID *guid, VOID *table) {
  auto &core = active();
  if (auto failed = core.enter("InstallConfigurationTable", TPL_NOTIFY, guid)) {
    return *failed;
  }
  if (guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return core.setConfigurationTable(*guid, table);
}

EFI_STATUS EFIAPI ExitBootServicesService(EFI_HANDLE, UINTN) {
  auto &core = active();
  if (auto failed = core.enter("ExitBootServices", TPL_APPLICATION)) {
    return *failed;
  }
  core.diagnose("ExitBootServices called by a driver");
  core.exitBootServices();
  return EFI_SUCCESS;
}

template <typename TABLE> void sealHeader(TABLE &table) {
  table.Hdr.CRC32 = 0;
  table.Hdr.CRC32 = crc32(&table, table.Hdr.HeaderSize);
}

constexpr size_t kHobAlignment = 8;

void appendBytes(std::vector<uint8_t> &to, const void *bytes, size_t size) {
  const auto *first = static_cast<const uint8_t *>(bytes);
  to.insert(to.end(), first, first + size);
}

} // namespace

std::optional<EFI_STATUS> platformServiceCall(std::string_view service, const EFI_GUID *guid) {
  if (gActive == nullptr) {
    return std::nullopt;
  }
  return gActive->failures.check(service, guid, gActive->site());
}

void platformLookupResult(EFI_STATUS status, std::vector<uint8_t> value, std::optional<uint64_t> key) {
  if (gActive != nullptr) {
    gActive->failures.noteLookup(status, std::move(value), key);
  }
}

void platformCallSubject(std::string subject) {
  if (gActive != nullptr) {
    gActive->failures.noteSubject(std::move(subject));
  }
}

DxeCore::Impl &active() {
  if (gActive == nullptr) {
    std::fputs("a firmware service was called while no simulated DXE core exists\n", stderr);
    std::abort();
  }
  return *gActive;
}

// ---------------------------------------------------------------------------
// Impl: construction, tables, misuse checks.

DxeCore::Impl::Impl(Machine &machine) : machine(machine) {}

DxeCore::Impl::~Impl() {
  for (auto &[seq, block] : pool) {
    ::operator delete (block.address, std::align_val_t{16});
  }
  for (auto &freed : quarantine) {
    ::operator delete (freed.block.address, std::align_val_t{16});
  }
}

void DxeCore::Impl::start() {
  system.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  system.Hdr.Revision = EFI_2_70_SYSTEM_TABLE_REVISION;
  system.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  system.FirmwareVendor = vendor.data();
  system.FirmwareRevision = 0x00010000;

  boot.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  boot.Hdr.Revision = EFI_2_70_SYSTEM_TABLE_REVISION;
  boot.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  runtime.Hdr.Signature = EFI_RUNTIME_SERVICES_SIGNATURE;
  runtime.Hdr.Revision = EFI_2_70_SYSTEM_TABLE_REVISION;
  runtime.Hdr.HeaderSize = sizeof(EFI_RUNTIME_SERVICES);
  dxe.Hdr.Signature = DXE_SERVICES_SIGNATURE;
  dxe.Hdr.Revision = DXE_SERVICES_REVISION;
  dxe.Hdr.HeaderSize = sizeof(DXE_SERVICES);

  fillUnusedSlots(*this);
  installEventServices(boot);
  installProtocolServices(boot);
  installMemoryServices(boot);
  boot.InstallConfigurationTable = &InstallConfigurationTableService;
  boot.ExitBootServices = &ExitBootServicesService;
  installVariableServices(runtime);
  installGcdServices(dxe);
  installPcdServices(pcd);

  config.push_back(EFI_CONFIGURATION_TABLE{gEfiDxeServicesTableGuid, &dxe});
  publishTables();

  EFI_HANDLE handle = nullptr;
  install(&handle, gPcdProtocolGuid, &pcd);
  pcdHandle = handle;
}

void DxeCore::Impl::publishTables() {
  system.RuntimeServices = runtimePresent ? &runtime : nullptr;
  system.BootServices = &boot;
  system.NumberOfTableEntries = config.size();
  system.ConfigurationTable = config.empty() ? nullptr : config.data();
  sealHeader(boot);
  sealHeader(runtime);
  sealHeader(dxe);
  sealHeader(system);
}

EFI_STATUS DxeCore::Impl::setConfigurationTable(const EFI_GUID &guid, void *table) {
  auto it = std::find_if(config.begin(), config.end(), [&](const EFI_CONFIGURATION_TABLE &entry) {
    return sameGuid(entry.VendorGuid, guid);
  });
  if (table == nullptr) {
    if (it == config.end()) {
      return EFI_NOT_FOUND;
    }
    config.erase(it);
  } else if (it != config.end()) {
    it->VendorTable = table;
  } else {
    config.push_back(EFI_CONFIGURATION_TABLE{guid, table});
  }
  publishTables();
  // Code waiting for a table learns of it through the group of its GUID.
  signalGroup(guid);
  dispatchAbove(tpl);
  return EFI_SUCCESS;
}

void DxeCore::Impl::diagnose(std::string_view message) {
  diagnostics.push_back(fmt::format("{}: {}", image, message));
}

CallSite DxeCore::Impl::site() const {
  return CallSite{image, notifyStack.empty() ? 0 : notifyStack.back()};
}

std::optional<EFI_STATUS> DxeCore::Impl::enter(std::string_view service, EFI_TPL maxTpl, const EFI_GUID *guid,
                                               bool runtimeService) {
  auto failed = failures.check(service, guid, site());
  if (exited && !runtimeService) {
    diagnose(fmt::format("{} called after ExitBootServices", service));
  }
  if (tpl > maxTpl) {
    diagnose(fmt::format("{} called at {} (allowed up to {})", service, tplName(tpl), tplName(maxTpl)));
  }
  return failed;
}

void DxeCore::Impl::enterCounted(std::string_view service, EFI_TPL maxTpl) {
  failures.count(service, site());
  if (exited) {
    diagnose(fmt::format("{} called after ExitBootServices", service));
  }
  if (tpl > maxTpl) {
    diagnose(fmt::format("{} called at {} (allowed up to {})", service, tplName(tpl), tplName(maxTpl)));
  }
}

void DxeCore::Impl::exitBootServices() {
  if (exited) {
    diagnose("ExitBootServices signalled twice");
  }
  signalGroup(gEfiEventExitBootServicesGuid);
  dispatchAbove(tpl);
  exited = true;
}

// ---------------------------------------------------------------------------
// HOB list.

void DxeCore::Impl::insertHob(const uint8_t *bytes, size_t size) {
  constexpr size_t kEndSize = sizeof(EFI_HOB_GENERIC_HEADER);
  if (hobs.empty()) {
    EFI_HOB_HANDOFF_INFO_TABLE handoff{};
    handoff.Header.HobType = EFI_HOB_TYPE_HANDOFF;
    handoff.Header.HobLength = sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
    handoff.Version = 0x0009; // the handoff table version the DXE phase expects
    appendBytes(hobs, &handoff, sizeof(handoff));
    EFI_HOB_GENERIC_HEADER end{};
    end.HobType = EFI_HOB_TYPE_END_OF_HOB_LIST;
    end.HobLength = kEndSize;
    appendBytes(hobs, &end, sizeof(end));
  }
  hobs.insert(hobs.end() - kEndSize, bytes, bytes + size);
  // The buffer may have moved: the handoff HOB and the table entry follow it.
  EFI_HOB_HANDOFF_INFO_TABLE handoff;
  std::memcpy(&handoff, hobs.data(), sizeof(handoff));
  handoff.EfiEndOfHobList = reinterpret_cast<uintptr_t>(hobs.data() + hobs.size() - kEndSize);
  std::memcpy(hobs.data(), &handoff, sizeof(handoff));
  setConfigurationTable(gEfiHobListGuid, hobs.data());
}

// ---------------------------------------------------------------------------
// Public API.

DxeCore::DxeCore(Machine &machine) {
  if (gActive != nullptr) {
    throw std::logic_error("a second simulated DXE core was created while one exists");
  }
  impl_ = std::make_unique<Impl>(machine);
  gActive = impl_.get();
  impl_->start();
}

DxeCore::~DxeCore() {
  impl_.reset();
  gActive = nullptr;
}

EFI_SYSTEM_TABLE *DxeCore::systemTable() {
  return &impl_->system;
}
DXE_SERVICES *DxeCore::dxeServices() {
  return &impl_->dxe;
}
PCD_PROTOCOL *DxeCore::pcdProtocol() {
  return &impl_->pcd;
}
EFI_HANDLE DxeCore::pcdHandle() const {
  return impl_->pcdHandle;
}

void DxeCore::setSystemTableRevision(UINT32 revision) {
  impl_->system.Hdr.Revision = revision;
  impl_->publishTables();
}

void DxeCore::setRuntimeServicesPresent(bool present) {
  impl_->runtimePresent = present;
  impl_->publishTables();
}

void DxeCore::setDxeServicesPresent(bool present) {
  auto &config = impl_->config;
  auto isDxe = [](const EFI_CONFIGURATION_TABLE &entry) {
    return sameGuid(entry.VendorGuid, gEfiDxeServicesTableGuid);
  };
  config.erase(std::remove_if(config.begin(), config.end(), isDxe), config.end());
  if (present) {
    config.insert(config.begin(), EFI_CONFIGURATION_TABLE{gEfiDxeServicesTableGuid, &impl_->dxe});
  }
  impl_->publishTables();
}

void DxeCore::installConfigurationTable(const EFI_GUID &guid, void *table) {
  (void)impl_->setConfigurationTable(guid, table);
}

void DxeCore::appendConfigurationTable(const EFI_GUID &guid, void *table) {
  impl_->config.push_back(EFI_CONFIGURATION_TABLE{guid, table});
  impl_->publishTables();
}

void DxeCore::addGuidHob(const EFI_GUID &name, const std::vector<uint8_t> &data) {
  size_t length = sizeof(EFI_HOB_GUID_TYPE) + data.size();
  length = (length + kHobAlignment - 1) / kHobAlignment * kHobAlignment;
  if (length > MAX_UINT16) {
    throw std::invalid_argument("GUID HOB data does not fit a 16-bit HOB length");
  }
  EFI_HOB_GUID_TYPE header{};
  header.Header.HobType = EFI_HOB_TYPE_GUID_EXTENSION;
  header.Header.HobLength = static_cast<UINT16>(length);
  header.Name = name;
  std::vector<uint8_t> bytes;
  appendBytes(bytes, &header, sizeof(header));
  bytes.insert(bytes.end(), data.begin(), data.end());
  bytes.resize(length, 0);
  impl_->insertHob(bytes.data(), bytes.size());
}

void DxeCore::addRawHob(const std::vector<uint8_t> &bytes) {
  impl_->insertHob(bytes.data(), bytes.size());
}

const std::vector<uint8_t> &DxeCore::hobList() const {
  return impl_->hobs;
}

void DxeCore::setCurrentImage(std::string name) {
  impl_->image = std::move(name);
}
const std::string &DxeCore::currentImage() const {
  return impl_->image;
}

uint32_t DxeCore::Impl::codeContext(const std::string &owner, const void *function) {
  for (size_t i = 0; i < codeContexts.size(); i++) {
    if (codeContexts[i].function == function && codeContexts[i].image == owner) {
      return static_cast<uint32_t>(i + 1);
    }
  }
  codeContexts.push_back(CodeContext{owner, function});
  return static_cast<uint32_t>(codeContexts.size());
}

uint32_t DxeCore::codeContext(const std::string &image, const void *function) {
  return impl_->codeContext(image, function);
}

const std::vector<CodeContext> &DxeCore::codeContexts() const {
  return impl_->codeContexts;
}

size_t DxeCore::Impl::beginImageCall(uint32_t context) {
  imageCalls.push_back(ImageCall{context, tpl, machine.nowNs(), 0, ImageCallEnd::Returned, openCalls});
  openCalls++;
  return imageCalls.size() - 1;
}

void DxeCore::Impl::endImageCall(size_t call, ImageCallEnd end) {
  openCalls--;
  imageCalls[call].endNs = machine.nowNs();
  imageCalls[call].end = end;
}

size_t DxeCore::beginImageCall(uint32_t context) {
  return impl_->beginImageCall(context);
}

void DxeCore::endImageCall(size_t call, ImageCallEnd end) {
  impl_->endImageCall(call, end);
}

const std::vector<ImageCall> &DxeCore::imageCalls() const {
  return impl_->imageCalls;
}

const std::vector<SignalNote> &DxeCore::signalNotes() const {
  return impl_->signalNotes;
}

const std::vector<InstallNote> &DxeCore::installNotes() const {
  return impl_->installNotes;
}

EFI_HANDLE DxeCore::createHandle() {
  return impl_->newHandle(true);
}

EFI_STATUS DxeCore::installProtocol(EFI_HANDLE *handle, const EFI_GUID &guid, void *iface) {
  if (handle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return impl_->install(handle, guid, iface);
}

EFI_STATUS DxeCore::uninstallProtocol(EFI_HANDLE handle, const EFI_GUID &guid, void *iface) {
  return impl_->uninstall(handle, guid, iface);
}

bool DxeCore::hasProtocol(const EFI_GUID &guid) const {
  return impl_->nextInterface(guid, 0).has_value();
}

std::vector<std::pair<EFI_HANDLE, EFI_GUID>> DxeCore::protocols() const {
  std::vector<std::pair<uint64_t, std::pair<EFI_HANDLE, EFI_GUID>>> ordered;
  for (const auto &record : impl_->handles) {
    if (!record.alive) {
      continue;
    }
    for (const auto &entry : record.interfaces) {
      ordered.push_back({entry.seq, {record.token.get(), entry.guid}});
    }
  }
  std::sort(ordered.begin(), ordered.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
  std::vector<std::pair<EFI_HANDLE, EFI_GUID>> result;
  for (const auto &item : ordered) {
    result.push_back(item.second);
  }
  return result;
}

void DxeCore::signalEventGroup(const EFI_GUID &group) {
  impl_->signalGroup(group);
  impl_->dispatchAbove(impl_->tpl);
}

void DxeCore::exitBootServices() {
  impl_->exitBootServices();
}
bool DxeCore::bootServicesExited() const {
  return impl_->exited;
}
EFI_TPL DxeCore::currentTpl() const {
  return impl_->tpl;
}

const std::vector<EventInfo> &DxeCore::events() const {
  return impl_->events;
}

std::vector<PoolBlock> DxeCore::poolInUse() const {
  std::vector<PoolBlock> blocks;
  for (const auto &[seq, block] : impl_->pool) {
    blocks.push_back(block);
  }
  return blocks;
}

const FreedPoolBlock *DxeCore::freedPoolBlock(uint64_t address) const {
  return impl_->freedBlock(address);
}
void DxeCore::checkFreedPool() {
  impl_->checkQuarantine();
}

const std::vector<PcdWrite> &DxeCore::pcdWrites() const {
  return impl_->pcdWrites;
}
std::map<UINTN, PcdToken> &DxeCore::pcdTokens() {
  return impl_->pcdTokens;
}
std::vector<GcdRange> DxeCore::gcdMap() const {
  return impl_->gcd;
}
void DxeCore::gcdAdd(GcdRange range) {
  impl_->gcdInsert(range);
}

void DxeCore::setVariable(const std::u16string &name, const EFI_GUID &guid, std::vector<uint8_t> data,
                          UINT32 attributes) {
  impl_->variables[{name, guidToString(guid)}] = Impl::Variable{std::move(data), attributes};
}

std::optional<std::vector<uint8_t>> DxeCore::variable(const std::u16string &name,
                                                      const EFI_GUID &guid) const {
  auto it = impl_->variables.find({name, guidToString(guid)});
  if (it == impl_->variables.end()) {
    return std::nullopt;
  }
  return it->second.data;
}

FailurePlan &DxeCore::failures() {
  return impl_->failures;
}
const std::vector<std::string> &DxeCore::diagnostics() const {
  return impl_->diagnostics;
}

} // namespace sim
