// SPDX-License-Identifier: BSD-2-Clause-Patent
// A die's root device (device 0, function 0 on the die's bus): its index
// register at 0xB8 selects an indirect register that the data register at
// 0xBC reads and writes. Indirect registers reset to the board's values, 0
// otherwise; the index register resets to 0.
#pragma once

#include "Pci.h"

#include <cstdint>
#include <map>

namespace sim {

class DieRoot : public PciFunctionHook {
public:
  static constexpr uint16_t kIndex = 0xB8;
  static constexpr uint16_t kData = 0xBC;
  static constexpr uint32_t kSataPortDisable = 0x03101800;

  explicit DieRoot(std::map<uint32_t, uint32_t> reset) : registers_(std::move(reset)) {}
  bool configRead(uint16_t offset, unsigned width, uint32_t *value) override;
  bool configWrite(uint16_t offset, unsigned width, uint32_t value) override;
  uint32_t indirect(uint32_t reg) const;
  const std::map<uint32_t, uint32_t> &registers() const { return registers_; }
  // Every data-register write, as (indirect register, value), in order.
  const std::vector<std::pair<uint32_t, uint32_t>> &writes() const { return writes_; }

private:
  uint32_t index_ = 0;
  std::map<uint32_t, uint32_t> registers_;
  std::vector<std::pair<uint32_t, uint32_t>> writes_;
};

} // namespace sim
