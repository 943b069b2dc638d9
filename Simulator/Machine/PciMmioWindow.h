// SPDX-License-Identifier: BSD-2-Clause-Patent
// The PCI memory-mapped configuration window: MSR 0xC0010058 places it
// (bit 0 enable, bits 5:2 the bus-count exponent, bits 63:20 the base) and
// it reaches the same configuration spaces as CF8/CFC, one MiB per bus.
#pragma once

#include "Machine.h"
#include "Pci.h"

#include <cstdint>
#include <optional>

namespace sim {

constexpr uint32_t kPciMmioConfigMsr = 0xC0010058;

struct PciRegisterAddress {
  PciLocation location;
  uint16_t offset;
};

// A configuration register by its offset in the window, "00:18.4+044".
std::string pciWindowRegisterName(uint64_t offset);

class PciMmioWindow : public MmioDevice {
public:
  // The window the MSR value describes, or nullopt when it is disabled.
  // Buses beyond 255 do not exist, so the mapped size stops at 256 MiB.
  static std::optional<PciMmioWindow> fromMsr(uint64_t msr, PciConfigSpace &space);

  PciMmioWindow(PciConfigSpace &space, uint64_t base, unsigned buses);
  uint64_t base() const { return base_; }
  uint64_t size() const { return static_cast<uint64_t>(buses_) << 20; }
  unsigned buses() const { return buses_; }
  // The configuration register behind an address of the window.
  std::optional<PciRegisterAddress> decode(uint64_t address) const;
  // A read without a bus access, for the platform's own bookkeeping.
  std::optional<uint64_t> peek(uint64_t address, unsigned width) const;

  uint64_t mmioRead(uint64_t offset, unsigned width) override;
  void mmioWrite(uint64_t offset, unsigned width, uint64_t value) override;
  std::string name() const override { return "PCI window"; }
  // The configuration register as bus:device.function+offset, "00:18.4+044".
  std::string registerName(uint64_t offset, bool write, uint8_t bank) const override;

private:
  uint64_t read(uint64_t offset, unsigned width) const;

  PciConfigSpace *space_;
  uint64_t base_;
  unsigned buses_;
};

} // namespace sim
