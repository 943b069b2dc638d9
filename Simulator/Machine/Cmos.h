// SPDX-License-Identifier: BSD-2-Clause-Patent
// CMOS/RTC RAM behind the index port 0x70 and the data port 0x71: 128
// bytes, as the board holds them. Bit 7 of an index write masks NMIs; it is
// not an address bit. The RTC's clock is not modelled: its registers are
// plain bytes too.
#pragma once

#include "Machine.h"

#include <array>
#include <cstdint>

namespace sim {

using CmosBytes = std::array<uint8_t, 128>;

// Reset values: the board's bytes, index 0, NMIs unmasked.
struct CmosState {
  CmosBytes ram{};
  uint8_t index = 0;
  bool nmiMasked = false;
};

class Cmos : public IoDevice {
public:
  static constexpr uint16_t kIndexPort = 0x70;
  static constexpr uint16_t kDataPort = 0x71;

  explicit Cmos(const CmosBytes &contents);
  uint32_t ioRead(uint16_t port, unsigned width) override;
  void ioWrite(uint16_t port, unsigned width, uint32_t value) override;
  std::string name() const override { return "CMOS"; }
  std::string registerName(uint64_t port, bool write, uint8_t bank) const override {
    (void)write;
    (void)bank;
    return port == kIndexPort ? "index" : "data";
  }

  const CmosState &state() const { return state_; }
  uint8_t byte(uint8_t index) const { return state_.ram[index & 0x7F]; }
  // How often each byte has been read through the data port.
  unsigned reads(uint8_t index) const { return reads_[index & 0x7F]; }
  unsigned totalReads() const;

private:
  CmosState state_;
  std::array<unsigned, 128> reads_{};
};

} // namespace sim
