// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "PlatformModels.h"

#include <array>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {
// Its members get no This pointer; one model per thread, as one boot runs
// in one thread.
thread_local PlatformIdModel *gIdentity = nullptr;

template <typename Model, typename Iface> Model &self(Iface *This) {
  return *reinterpret_cast<Model *>(This);
}
} // namespace

NvramAttributeModel::NvramAttributeModel(Machine &, NvramConfig config)
    : iface_{nullptr, getAttribute}, config_(std::move(config)) {}

EFI_STATUS EFIAPI NvramAttributeModel::getAttribute(OrvexNvramAttributeProtocol *This, EFI_GUID *set,
                                                    const CHAR16 *name, UINTN reserved, UINT16 *size,
                                                    VOID *buffer) {
  auto &model = self<NvramAttributeModel>(This);
  (void)reserved;
  auto failed = platformServiceCall("OrvexNvramAttribute.GetAttribute", set);
  platformCallSubject(subjectName(name));
  if (failed) {
    model.reads_.push_back({name != nullptr ? std::u16string(name) : u"", *failed, ""});
    platformLookupResult(*failed);
    return *failed;
  }
  if (name == nullptr || size == nullptr || buffer == nullptr || set == nullptr) {
    model.reads_.push_back({u"", EFI_INVALID_PARAMETER, "null argument"});
    platformLookupResult(EFI_INVALID_PARAMETER);
    return EFI_INVALID_PARAMETER;
  }
  std::u16string key(name);
  AttributeRead read{key, EFI_SUCCESS, ""};
  if (!sameGuid(*set, gNvramAttributeSetGuid)) {
    read.problem = "attribute set is not gNvramAttributeSetGuid";
  }
  if (*size != NVRAM_ATTRIBUTE_VALUE_SIZE) {
    read.problem = "size was not 62";
  } else {
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    for (unsigned i = 0; i < NVRAM_ATTRIBUTE_VALUE_SIZE; i++) {
      if (bytes[i] != 0) {
        read.problem = "buffer was not zeroed";
        break;
      }
    }
  }
  auto found = model.config_.values.find(key);
  if (found == model.config_.values.end()) {
    read.status = EFI_NOT_FOUND;
  } else if (model.config_.unterminated.count(key) != 0) {
    std::u16string value = found->second;
    value.resize(NVRAM_ATTRIBUTE_VALUE_SIZE / 2, u'x');
    std::memcpy(buffer, value.data(), NVRAM_ATTRIBUTE_VALUE_SIZE);
  } else if ((found->second.size() + 1) * 2 > *size) {
    // The value with its terminator must fit the caller's buffer.
    read.status = EFI_BUFFER_TOO_SMALL;
  } else {
    std::memcpy(buffer, found->second.c_str(), (found->second.size() + 1) * 2);
    *size = static_cast<UINT16>((found->second.size() + 1) * 2);
  }
  model.reads_.push_back(read);
  // The value as the caller got it: up to its terminator, within the buffer.
  std::string delivered;
  if (read.status == EFI_SUCCESS) {
    const auto *chars = static_cast<const char16_t *>(buffer);
    size_t length = 0;
    while (length < NVRAM_ATTRIBUTE_VALUE_SIZE / 2 && chars[length] != 0) {
      length++;
    }
    delivered = firmwareText(std::u16string_view(chars, length));
  }
  platformLookupResult(read.status, std::vector<uint8_t>(delivered.begin(), delivered.end()));
  return read.status;
}

PlatformIdModel::PlatformIdModel(IdentityConfig config) : iface_{}, config_(std::move(config)) {
  if (gIdentity != nullptr) {
    throw std::logic_error("a second platform identity model was created while one exists");
  }
  gIdentity = this;
  iface_.GetIdPtr = getIdPtr;
  iface_.QueryPlatformState = queryPlatformState;
  record_.SystemId = config_.systemId;
}

PlatformIdModel::~PlatformIdModel() {
  gIdentity = nullptr;
}

EFI_STATUS EFIAPI PlatformIdModel::getIdPtr(PlatformIdRecord **record) {
  PlatformIdModel &model = *gIdentity;
  model.getIdCalls_++;
  if (auto failed = platformServiceCall("VroPlatformId.GetIdPtr")) {
    platformLookupResult(*failed);
    return *failed;
  }
  switch (model.config_.getId) {
  case IdentityConfig::GetId::Fail:
    platformLookupResult(EFI_DEVICE_ERROR);
    return EFI_DEVICE_ERROR;
  case IdentityConfig::GetId::NullRecord:
    *record = nullptr;
    platformLookupResult(EFI_SUCCESS); // no record: nothing to read
    return EFI_SUCCESS;
  case IdentityConfig::GetId::Ok:
    break;
  }
  *record = &model.record_;
  uint16_t id = model.record_.SystemId;
  platformLookupResult(EFI_SUCCESS, {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)});
  return EFI_SUCCESS;
}

UINT8 EFIAPI PlatformIdModel::queryPlatformState(UINTN selector) {
  PlatformIdModel &model = *gIdentity;
  model.queries_.push_back(static_cast<uint32_t>(selector));
  // No status to fail with: a failing platform answers what a bus with
  // nothing behind it reads.
  if (auto failed = platformServiceCall("VroPlatformId.QueryPlatformState")) {
    platformLookupResult(*failed, {0xFF}, selector);
    return 0xFF;
  }
  auto found = model.config_.states.find(static_cast<uint32_t>(selector));
  UINT8 answer = found == model.config_.states.end() ? 0 : found->second;
  platformLookupResult(EFI_SUCCESS, {answer}, selector);
  return answer;
}

UsbPortControlModel::UsbPortControlModel(Machine &machine) : iface_{}, machine_(machine) {
  iface_.SetPortMask = setPortMask;
}

EFI_STATUS EFIAPI UsbPortControlModel::setPortMask(UsbPortControlProtocol *This, UINT32 controller,
                                                   UINT32 mask, UINT32 value) {
  auto &model = self<UsbPortControlModel>(This);
  if (auto failed = platformServiceCall("UsbPortControl.SetPortMask")) {
    return *failed; // refused: no port group switched
  }
  model.calls_.push_back({controller, mask, value, model.machine_.trace().size()});
  return EFI_SUCCESS;
}

uint32_t UsbPortControlModel::switchedOff() const {
  uint32_t off = 0;
  for (const PortMaskCall &call : calls_) {
    off |= call.mask & call.value;
  }
  return off;
}

Mc5744Model::Mc5744Model(Machine &machine) : iface_{}, machine_(machine) {
  iface_.ApplyConfig = applyConfig;
  iface_.SetPortEnables = setPortEnables;
}

EFI_STATUS EFIAPI Mc5744Model::setPortEnables(Mc5744Protocol *This, Mc5744PortEnables *enables) {
  auto &model = self<Mc5744Model>(This);
  if (auto failed = platformServiceCall("Mc5744.SetPortEnables")) {
    return *failed;
  }
  if (enables == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  model.pending_ = {enables->Enable0, enables->Enable1, enables->Enable2, enables->Enable3};
  HubCall call{HubCall::Kind::SetPortEnables, {}, 0, model.machine_.trace().size()};
  std::copy(model.pending_.begin(), model.pending_.end(), call.enables);
  model.calls_.push_back(call);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Mc5744Model::applyConfig(Mc5744Protocol *This, UINTN apply) {
  auto &model = self<Mc5744Model>(This);
  if (auto failed = platformServiceCall("Mc5744.ApplyConfig")) {
    return *failed;
  }
  HubCall call{HubCall::Kind::ApplyConfig, {}, apply, model.machine_.trace().size()};
  std::copy(model.pending_.begin(), model.pending_.end(), call.enables);
  model.calls_.push_back(call);
  if (apply != 0) {
    model.applied_ = model.pending_;
  }
  return EFI_SUCCESS;
}

std::optional<size_t> Mc5744Model::firstPortOffAt() const {
  for (const HubCall &call : calls_) {
    if (call.kind == HubCall::Kind::ApplyConfig && call.argument != 0) {
      for (uint32_t enable : call.enables) {
        if (enable == 0) {
          return call.traceIndex;
        }
      }
    }
  }
  return std::nullopt;
}

SataModel::SataModel(SataConfig config) : iface_{}, config_(std::move(config)) {
  iface_.GetPortList = getPortList;
  iface_.GetSataConfig = getSataConfig;
  names_.reserve(config_.ports.size());
  for (const SataPortConfig &port : config_.ports) {
    names_.push_back(port.name.value_or(u""));
  }
  entries_.resize(config_.ports.size());
  for (size_t i = 0; i < config_.ports.size(); i++) {
    std::memset(&entries_[i], 0, sizeof(SataPortEntry));
    entries_[i].Name = config_.ports[i].name ? names_[i].data() : nullptr;
    entries_[i].AhciPort = config_.ports[i].ahciPort;
    entries_[i].Die = config_.ports[i].die;
  }
}

EFI_STATUS EFIAPI SataModel::getSataConfig(VroSataProtocol *This, UINT64 *config, UINT8 *mode) {
  auto &model = self<SataModel>(This);
  model.getConfigCalls_++;
  if (auto failed = platformServiceCall("VroSata.GetSataConfig")) {
    return *failed;
  }
  if (model.config_.getConfigFails) {
    return EFI_DEVICE_ERROR;
  }
  *config = 0x5341544100000001ULL;
  *mode = model.config_.mode;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SataModel::getPortList(VroSataProtocol *This, SataPortEntry **ports, UINT8 *count) {
  auto &model = self<SataModel>(This);
  model.getPortListCalls_++;
  if (auto failed = platformServiceCall("VroSata.GetPortList")) {
    return *failed;
  }
  if (model.config_.getPortListFails) {
    return EFI_NOT_READY;
  }
  *ports = model.config_.nullArray || model.entries_.empty() ? nullptr : model.entries_.data();
  *count = static_cast<UINT8>(std::min<size_t>(model.entries_.size(), 255));
  return EFI_SUCCESS;
}

} // namespace sim
