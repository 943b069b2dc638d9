// SPDX-License-Identifier: BSD-2-Clause-Patent
// Models of the platform protocols that other firmware modules install:
// NVRAM attributes, platform identity, USB port control and the MC5744 hub
// controller. Each records every call the driver makes, with the position
// in the machine's trace at which it came.
#pragma once

#include "Dxe/DxeCore.h"
#include "Machine/Machine.h"

#include <PlatformProtocols.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

struct NvramConfig {
  std::map<std::u16string, std::u16string> values;
  // Delivered as their first 31 units with no terminator, as a broken
  // attribute store would.
  std::set<std::u16string> unterminated;
};

struct IdentityConfig {
  uint16_t systemId = 2040;
  std::map<uint32_t, uint8_t> states; // QueryPlatformState answers by selector; others answer 0
  enum class GetId { Ok, Fail, NullRecord } getId = GetId::Ok;
};

struct SataPortConfig {
  std::optional<std::u16string> name; // nullopt: the entry's name pointer is null
  uint16_t ahciPort = 0;
  uint8_t die = 0;
};

struct SataConfig {
  uint8_t mode = 0;
  std::vector<SataPortConfig> ports;
  bool getConfigFails = false;
  bool getPortListFails = false;
  bool nullArray = false; // reports the count with a null array
};

struct AttributeRead {
  std::u16string name;
  EFI_STATUS status;
  std::string problem; // a caller that broke the size/buffer rules, else empty
};

struct PortMaskCall {
  uint32_t controller, mask, value;
  size_t traceIndex;
};

struct HubCall {
  enum class Kind { SetPortEnables, ApplyConfig } kind;
  uint32_t enables[4];
  uint64_t argument;
  size_t traceIndex;
};

class NvramAttributeModel {
public:
  // The machine is not used: attribute reads touch no hardware.
  NvramAttributeModel(Machine &machine, NvramConfig config);
  OrvexNvramAttributeProtocol *protocol() { return &iface_; }
  const std::vector<AttributeRead> &reads() const { return reads_; }

private:
  static EFI_STATUS EFIAPI getAttribute(OrvexNvramAttributeProtocol *This, EFI_GUID *set, const CHAR16 *name,
                                        UINTN reserved, UINT16 *size, VOID *buffer);
  OrvexNvramAttributeProtocol iface_; // first: This is the model
  NvramConfig config_;
  std::vector<AttributeRead> reads_;
};

class PlatformIdModel {
public:
  explicit PlatformIdModel(IdentityConfig config);
  ~PlatformIdModel();
  VroPlatformIdProtocol *protocol() { return &iface_; }
  const std::vector<uint32_t> &queries() const { return queries_; }
  unsigned getIdCalls() const { return getIdCalls_; }

private:
  static EFI_STATUS EFIAPI getIdPtr(PlatformIdRecord **record);
  static UINT8 EFIAPI queryPlatformState(UINTN selector);
  VroPlatformIdProtocol iface_;
  IdentityConfig config_;
  PlatformIdRecord record_{};
  std::vector<uint32_t> queries_;
  unsigned getIdCalls_ = 0;
};

class UsbPortControlModel {
public:
  explicit UsbPortControlModel(Machine &machine);
  UsbPortControlProtocol *protocol() { return &iface_; }
  const std::vector<PortMaskCall> &calls() const { return calls_; }
  // Port-group bits switched off so far (mask AND value of every call).
  uint32_t switchedOff() const;

private:
  static EFI_STATUS EFIAPI setPortMask(UsbPortControlProtocol *This, UINT32 controller, UINT32 mask,
                                       UINT32 value);
  UsbPortControlProtocol iface_;
  Machine &machine_;
  std::vector<PortMaskCall> calls_;
};

class Mc5744Model {
public:
  explicit Mc5744Model(Machine &machine);
  Mc5744Protocol *protocol() { return &iface_; }
  const std::vector<HubCall> &calls() const { return calls_; }
  // The enables in force: the last ones set before an ApplyConfig (all on at reset).
  std::array<uint32_t, 4> applied() const { return applied_; }
  std::optional<size_t> firstPortOffAt() const;

private:
  static EFI_STATUS EFIAPI applyConfig(Mc5744Protocol *This, UINTN apply);
  static EFI_STATUS EFIAPI setPortEnables(Mc5744Protocol *This, Mc5744PortEnables *enables);
  Mc5744Protocol iface_;
  Machine &machine_;
  std::vector<HubCall> calls_;
  std::array<uint32_t, 4> pending_{1, 1, 1, 1};
  std::array<uint32_t, 4> applied_{1, 1, 1, 1};
};

class SataModel {
public:
  explicit SataModel(SataConfig config);
  VroSataProtocol *protocol() { return &iface_; }
  unsigned getConfigCalls() const { return getConfigCalls_; }
  unsigned getPortListCalls() const { return getPortListCalls_; }

private:
  static EFI_STATUS EFIAPI getPortList(VroSataProtocol *This, SataPortEntry **ports, UINT8 *count);
  static EFI_STATUS EFIAPI getSataConfig(VroSataProtocol *This, UINT64 *config, UINT8 *mode);
  VroSataProtocol iface_;
  SataConfig config_;
  std::vector<std::u16string> names_;
  std::vector<SataPortEntry> entries_; // owned by the protocol for the whole boot
  unsigned getConfigCalls_ = 0;
  unsigned getPortListCalls_ = 0;
};

} // namespace sim
