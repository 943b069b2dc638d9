// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Cmos.h"

#include <numeric>

namespace sim {

Cmos::Cmos(const CmosBytes &contents) {
  state_.ram = contents;
}

uint32_t Cmos::ioRead(uint16_t port, unsigned width) {
  (void)width;
  switch (port) {
  case kDataPort:
    reads_[state_.index]++;
    return state_.ram[state_.index];
  case kIndexPort:
  default:
    // The index latch is write-only.
    return 0xFF;
  }
}

void Cmos::ioWrite(uint16_t port, unsigned width, uint32_t value) {
  (void)width;
  switch (port) {
  case kIndexPort:
    state_.index = static_cast<uint8_t>(value & 0x7F);
    state_.nmiMasked = (value & 0x80) != 0;
    break;
  case kDataPort:
    state_.ram[state_.index] = static_cast<uint8_t>(value);
    break;
  default:
    break;
  }
}

unsigned Cmos::totalReads() const {
  return std::accumulate(reads_.begin(), reads_.end(), 0u);
}

} // namespace sim
