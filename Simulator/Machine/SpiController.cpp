// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "SpiController.h"

namespace sim {

namespace {
void put32(std::array<uint8_t, SpiController::kSize> &bytes, unsigned offset, uint32_t value) {
  for (unsigned i = 0; i < 4; i++) {
    bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}
uint32_t get32(const std::array<uint8_t, SpiController::kSize> &bytes, unsigned offset) {
  uint32_t value = 0;
  for (unsigned i = 0; i < 4; i++) {
    value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  }
  return value;
}
} // namespace

SpiController::SpiController(SpiRegisters reset) {
  put32(bytes_, 0x00, reset.control);
  put32(bytes_, 0x04, reset.restrictedCmd);
  put32(bytes_, 0x08, reset.restrictedCmd2);
  bytes_[0x1D] = reset.reg1D;
}

uint64_t SpiController::mmioRead(uint64_t offset, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width && offset + i < kSize; i++) {
    value |= static_cast<uint64_t>(bytes_[offset + i]) << (8 * i);
  }
  return value;
}

void SpiController::mmioWrite(uint64_t offset, unsigned width, uint64_t value) {
  for (unsigned i = 0; i < width && offset + i < kSize; i++) {
    bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

SpiRegisters SpiController::registers() const {
  return SpiRegisters{get32(bytes_, 0x00), get32(bytes_, 0x04), get32(bytes_, 0x08), bytes_[0x1D]};
}

} // namespace sim
