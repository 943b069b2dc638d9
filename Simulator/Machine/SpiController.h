// SPDX-License-Identifier: BSD-2-Clause-Patent
// The hub's SPI flash controller, as far as firmware programs it: 32-bit
// registers SpiControl (0x00), RestrictedCmd (0x04) and RestrictedCmd2
// (0x08), and the byte at 0x1D (bit 2 WriteBufferEn, bit 3 protect, bit 5
// lock). Reset values come from the board; other offsets read as zero and
// keep what is written, byte by byte.
#pragma once

#include "Machine.h"

#include <array>
#include <cstdint>

namespace sim {

struct SpiRegisters {
  uint32_t control = 0;
  uint32_t restrictedCmd = 0;
  uint32_t restrictedCmd2 = 0;
  uint8_t reg1D = 0;
  bool operator==(const SpiRegisters &) const = default;
};

class SpiController : public MmioDevice {
public:
  static constexpr uint64_t kSize = 0x100;

  explicit SpiController(SpiRegisters reset);
  uint64_t mmioRead(uint64_t offset, unsigned width) override;
  void mmioWrite(uint64_t offset, unsigned width, uint64_t value) override;
  SpiRegisters registers() const;

private:
  std::array<uint8_t, kSize> bytes_{};
};

} // namespace sim
