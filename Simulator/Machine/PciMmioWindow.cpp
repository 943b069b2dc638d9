// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "PciMmioWindow.h"

#include <fmt/format.h>

namespace sim {

std::optional<PciMmioWindow> PciMmioWindow::fromMsr(uint64_t msr, PciConfigSpace &space) {
  if ((msr & 1) == 0) {
    return std::nullopt;
  }
  unsigned exponent = static_cast<unsigned>((msr >> 2) & 0xF);
  unsigned buses = exponent >= 8 ? 256 : 1u << exponent;
  return PciMmioWindow(space, msr & ~0xFFFFFULL, buses);
}

PciMmioWindow::PciMmioWindow(PciConfigSpace &space, uint64_t base, unsigned buses)
    : space_(&space), base_(base), buses_(buses) {}

std::optional<PciRegisterAddress> PciMmioWindow::decode(uint64_t address) const {
  if (address < base_ || address - base_ >= size()) {
    return std::nullopt;
  }
  uint64_t offset = address - base_;
  return PciRegisterAddress{PciLocation{static_cast<uint8_t>(offset >> 20),
                                        static_cast<uint8_t>((offset >> 15) & 0x1F),
                                        static_cast<uint8_t>((offset >> 12) & 7)},
                            static_cast<uint16_t>(offset & 0xFFF)};
}

// An access reaches its function at its own width, as a CF8/CFC cycle
// does, so that registers with side effects (an index/data pair) see the
// same accesses either way. A 64-bit access is two dword cycles, low first;
// an access past the end of a function's space goes byte by byte.
uint64_t PciMmioWindow::read(uint64_t offset, unsigned width) const {
  if (width == 8) {
    return read(offset, 4) | (read(offset + 4, 4) << 32);
  }
  auto reg = decode(base_ + offset);
  if (reg && reg->offset + width <= 4096) {
    return space_->read(reg->location, reg->offset, width);
  }
  uint64_t value = 0;
  for (unsigned i = 0; i < width; i++) {
    auto byte = decode(base_ + offset + i);
    value |= static_cast<uint64_t>(byte ? space_->read(byte->location, byte->offset, 1) & 0xFF : 0xFF)
             << (8 * i);
  }
  return value;
}

std::optional<uint64_t> PciMmioWindow::peek(uint64_t address, unsigned width) const {
  if (!decode(address) || !decode(address + width - 1)) {
    return std::nullopt;
  }
  return read(address - base_, width);
}

std::string PciMmioWindow::registerName(uint64_t offset, bool write, uint8_t bank) const {
  (void)write;
  (void)bank;
  return pciWindowRegisterName(offset);
}

std::string pciWindowRegisterName(uint64_t offset) {
  return fmt::format("{:02X}:{:02X}.{:X}+{:03X}", offset >> 20, (offset >> 15) & 0x1F, (offset >> 12) & 7,
                     offset & 0xFFF);
}

uint64_t PciMmioWindow::mmioRead(uint64_t offset, unsigned width) {
  return read(offset, width);
}

void PciMmioWindow::mmioWrite(uint64_t offset, unsigned width, uint64_t value) {
  if (width == 8) {
    mmioWrite(offset, 4, value & 0xFFFFFFFF);
    mmioWrite(offset + 4, 4, value >> 32);
    return;
  }
  auto reg = decode(base_ + offset);
  if (reg && reg->offset + width <= 4096) {
    space_->write(reg->location, reg->offset, width, static_cast<uint32_t>(value));
    return;
  }
  for (unsigned i = 0; i < width; i++) {
    if (auto byte = decode(base_ + offset + i)) {
      space_->write(byte->location, byte->offset, 1, static_cast<uint32_t>((value >> (8 * i)) & 0xFF));
    }
  }
}

} // namespace sim
