// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "SpiController.h"

#include <fmt/format.h>

namespace sim {

namespace {
// The byte lane of a 32-bit register that this offset reaches.
uint8_t lane(uint32_t reg, unsigned offset) {
  return static_cast<uint8_t>(reg >> (8 * (offset & 3)));
}
void setLane(uint32_t &reg, unsigned offset, uint8_t value) {
  unsigned shift = 8 * (offset & 3);
  reg = (reg & ~(0xFFu << shift)) | static_cast<uint32_t>(value) << shift;
}
} // namespace

SpiController::SpiController(SpiRegisters reset, const Machine *machine)
    : machine_(machine), registers_(reset) {}

uint8_t SpiController::readByte(unsigned offset) const {
  switch (offset & ~3u) {
  case spi::kSpiControl:
    return lane(registers_.control, offset);
  case spi::kRestrictedCmd:
    return lane(registers_.restrictedCmd, offset);
  case spi::kRestrictedCmd2:
    return lane(registers_.restrictedCmd2, offset);
  default:
    return offset == spi::kReg1D ? registers_.reg1D : other_[offset];
  }
}

bool SpiController::writeByte(unsigned offset, uint8_t value) {
  switch (offset & ~3u) {
  case spi::kSpiControl:
    setLane(registers_.control, offset, value);
    return true;
  case spi::kRestrictedCmd:
    setLane(registers_.restrictedCmd, offset, value);
    return true;
  case spi::kRestrictedCmd2:
    setLane(registers_.restrictedCmd2, offset, value);
    return true;
  default:
    if (offset != spi::kReg1D) {
      other_[offset] = value;
      return true;
    }
    if (locked()) {
      return false;
    }
    registers_.reg1D = value;
    return true;
  }
}

uint64_t SpiController::mmioRead(uint64_t offset, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width && offset + i < kSize; i++) {
    value |= static_cast<uint64_t>(readByte(static_cast<unsigned>(offset + i))) << (8 * i);
  }
  return value;
}

void SpiController::mmioWrite(uint64_t offset, unsigned width, uint64_t value) {
  bool ignored = false;
  for (unsigned i = 0; i < width && offset + i < kSize; i++) {
    ignored |= !writeByte(static_cast<unsigned>(offset + i), static_cast<uint8_t>(value >> (8 * i)));
  }
  if (offset < kSize) {
    writes_.push_back(SpiWrite{static_cast<uint8_t>(offset), static_cast<uint8_t>(width), ignored, value,
                               mmioRead(offset, width),
                               machine_ != nullptr ? machine_->writeInProgress() : std::nullopt});
  }
}

std::string SpiController::registerName(uint64_t offset, bool write, uint8_t bank) const {
  (void)write;
  (void)bank;
  return spiRegisterName(offset);
}

std::string spiRegisterName(uint64_t offset) {
  switch (offset) {
  case spi::kSpiControl:
    return "SpiControl";
  case spi::kRestrictedCmd:
    return "RestrictedCmd";
  case spi::kRestrictedCmd2:
    return "RestrictedCmd2";
  default:
    return fmt::format("0x{:X}", offset);
  }
}

} // namespace sim
