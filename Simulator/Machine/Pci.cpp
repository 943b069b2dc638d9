// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Pci.h"

#include <fmt/format.h>

namespace sim {

std::array<uint8_t, 4096> &PciConfigSpace::add(PciLocation location) {
  auto &slot = functions_[location];
  if (!slot) {
    slot = std::make_unique<std::array<uint8_t, 4096>>();
    slot->fill(0);
  }
  return *slot;
}

bool PciConfigSpace::exists(PciLocation location) const {
  return functions_.count(location) != 0;
}

uint32_t PciConfigSpace::read(PciLocation location, uint16_t offset, unsigned width) const {
  auto found = functions_.find(location);
  if (found == functions_.end()) {
    return width >= 4 ? 0xFFFFFFFFu : (1u << (width * 8)) - 1;
  }
  if (auto hook = hooks_.find(location); hook != hooks_.end()) {
    uint32_t hooked = 0;
    if (hook->second->configRead(offset, width, &hooked)) {
      return hooked;
    }
  }
  uint32_t value = 0;
  for (unsigned i = 0; i < width && offset + i < 4096; i++) {
    value |= static_cast<uint32_t>((*found->second)[offset + i]) << (8 * i);
  }
  return value;
}

void PciConfigSpace::write(PciLocation location, uint16_t offset, unsigned width, uint32_t value) {
  auto found = functions_.find(location);
  if (found == functions_.end()) {
    return;
  }
  if (auto hook = hooks_.find(location);
      hook != hooks_.end() && hook->second->configWrite(offset, width, value)) {
    return;
  }
  for (unsigned i = 0; i < width && offset + i < 4096; i++) {
    (*found->second)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

std::string PciHostBridge::registerName(uint64_t port, bool write, uint8_t bank) const {
  (void)write;
  (void)bank;
  uint16_t start = port < kDataPort ? kAddressPort : kDataPort;
  const char *name = port < kDataPort ? "CF8" : "CFC";
  return port == start ? std::string(name) : fmt::format("{}+{}", name, port - start);
}

PciHostBridge::PciHostBridge(Machine &machine, PciConfigSpace &space) : machine_(machine), space_(space) {}

bool PciHostBridge::decode(uint16_t port, PciLocation *location, uint16_t *offset) {
  if ((address_ & 0x80000000u) == 0) {
    return false;
  }
  *location = PciLocation{static_cast<uint8_t>(address_ >> 16), static_cast<uint8_t>((address_ >> 11) & 0x1F),
                          static_cast<uint8_t>((address_ >> 8) & 7)};
  *offset = static_cast<uint16_t>((address_ & 0xFC) | (port - kDataPort));
  uint16_t extended = static_cast<uint16_t>((address_ >> 24) & 0xF);
  if (extended != 0) {
    // The node is the processor that runs this access; reading its APIC ID
    // is the bridge's business, not an access of the firmware's.
    uint32_t node = (machine_.peekCpuid(1).ebx >> 28) & 7;
    PciLocation enable{0, static_cast<uint8_t>(0x18 + node), 4};
    if (space_.read32(enable, kEnableRegister) == 1) {
      *offset = static_cast<uint16_t>(*offset | (extended << 8));
    }
  }
  return true;
}

uint32_t PciHostBridge::ioRead(uint16_t port, unsigned width) {
  if (port < kDataPort) {
    return port == kAddressPort && width == 4 ? address_ : 0xFFFFFFFFu;
  }
  PciLocation location{};
  uint16_t offset = 0;
  if (!decode(port, &location, &offset)) {
    return 0xFFFFFFFFu;
  }
  return space_.read(location, offset, width);
}

void PciHostBridge::ioWrite(uint16_t port, unsigned width, uint32_t value) {
  if (port < kDataPort) {
    // Only a dword write at 0xCF8 is the address register.
    if (port == kAddressPort && width == 4) {
      address_ = value;
    }
    return;
  }
  PciLocation location{};
  uint16_t offset = 0;
  if (decode(port, &location, &offset)) {
    space_.write(location, offset, width, value);
  }
}

} // namespace sim
