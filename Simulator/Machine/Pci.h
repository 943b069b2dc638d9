// SPDX-License-Identifier: BSD-2-Clause-Patent
// PCI configuration spaces and the host bridge that reaches them through
// configuration mechanism 1 at 0xCF8/0xCFC.
#pragma once

#include "Machine.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <tuple>

namespace sim {

struct PciLocation {
  uint8_t bus, device, function;
  auto operator<=>(const PciLocation &) const = default;
};

// A function whose registers do more than hold bytes (an index/data pair,
// say) takes its accesses first; returning false leaves them to the bytes.
class PciFunctionHook {
public:
  virtual ~PciFunctionHook() = default;
  virtual bool configRead(uint16_t offset, unsigned width, uint32_t *value) = 0;
  virtual bool configWrite(uint16_t offset, unsigned width, uint32_t value) = 0;
};

// The 4 KiB configuration spaces of the functions that exist. An absent
// function reads all ones and ignores writes, as on a real bus.
class PciConfigSpace {
public:
  void setHook(PciLocation location, PciFunctionHook *hook) { hooks_[location] = hook; }
  std::array<uint8_t, 4096> &add(PciLocation location); // all zero at first
  bool exists(PciLocation location) const;
  uint32_t read(PciLocation location, uint16_t offset, unsigned width) const;
  void write(PciLocation location, uint16_t offset, unsigned width, uint32_t value);
  uint32_t read32(PciLocation location, uint16_t offset) const { return read(location, offset, 4); }
  void write32(PciLocation location, uint16_t offset, uint32_t value) { write(location, offset, 4, value); }

private:
  std::map<PciLocation, std::unique_ptr<std::array<uint8_t, 4096>>> functions_;
  std::map<PciLocation, PciFunctionHook *> hooks_;
};

// Mechanism 1 as this platform decodes it: bits 27:24 of the address select
// registers 0x100-0xFFF only while the running node's extended-access
// enable register (bus 0, device 0x18 + N, function 4, register 0x44) holds
// 1; N is bits 30:28 of CPUID leaf 1 EBX. Otherwise they are ignored.
// Reset value of the address register: 0.
class PciHostBridge : public IoDevice {
public:
  static constexpr uint16_t kAddressPort = 0xCF8;
  static constexpr uint16_t kDataPort = 0xCFC;
  static constexpr uint16_t kEnableRegister = 0x44;

  PciHostBridge(Machine &machine, PciConfigSpace &space);
  uint32_t ioRead(uint16_t port, unsigned width) override;
  void ioWrite(uint16_t port, unsigned width, uint32_t value) override;
  std::string name() const override { return "PCI"; }
  // "CF8", "CFC", and the bytes of the data port past its start as "CFC+2".
  std::string registerName(uint64_t port, bool write, uint8_t bank) const override;
  uint32_t addressRegister() const { return address_; }

private:
  bool decode(uint16_t port, PciLocation *location, uint16_t *offset);

  Machine &machine_;
  PciConfigSpace &space_;
  uint32_t address_ = 0;
};

} // namespace sim
