// SPDX-License-Identifier: BSD-2-Clause-Patent
// A block of plain registers, such as the hub's ACPI MMIO page as far as
// this platform's firmware uses it: every byte reads back what was last
// written. Reset value: all zero. Its registers are named by their offset.
#pragma once

#include "Machine.h"

#include <fmt/format.h>

#include <string>
#include <utility>
#include <vector>

namespace sim {

class RegisterFile : public MmioDevice {
public:
  explicit RegisterFile(uint64_t size, std::string name = {}) : bytes_(size, 0), name_(std::move(name)) {}
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
  std::string name() const override { return name_; }
  std::string registerName(uint64_t offset, bool write, uint8_t bank) const override {
    (void)write;
    (void)bank;
    return fmt::format("0x{:X}", offset);
  }

private:
  std::vector<uint8_t> bytes_;
  std::string name_;
};

} // namespace sim
