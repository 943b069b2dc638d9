// SPDX-License-Identifier: BSD-2-Clause-Patent
// A block of plain registers, such as the hub's ACPI MMIO page as far as
// this platform's firmware uses it: every byte reads back what was last
// written. Reset value: all zero.
#pragma once

#include "Machine.h"

#include <vector>

namespace sim {

class RegisterFile : public MmioDevice {
public:
  explicit RegisterFile(uint64_t size) : bytes_(size, 0) {}
  uint64_t mmioRead(uint64_t offset, unsigned width) override {
    uint64_t value = 0;
    for (unsigned i = 0; i < width && offset + i < bytes_.size(); i++) {
      value |= static_cast<uint64_t>(bytes_[offset + i]) << (8 * i);
    }
    return value;
  }
  void mmioWrite(uint64_t offset, unsigned width, uint64_t value) override {
    for (unsigned i = 0; i < width && offset + i < bytes_.size(); i++) {
      bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
  }

private:
  std::vector<uint8_t> bytes_;
};

} // namespace sim
