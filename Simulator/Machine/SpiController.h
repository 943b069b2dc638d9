// SPDX-License-Identifier: BSD-2-Clause-Patent
// The hub's SPI flash controller, as far as firmware programs it: 32-bit
// registers SpiControl (0x00), RestrictedCmd (0x04) and RestrictedCmd2
// (0x08), and the byte at 0x1D with WriteBufferEn (bit 2), Protect (bit 3)
// and Lock (bit 5). Reset values come from the board; other offsets read as
// zero and keep what is written, byte by byte.
//
// Once Lock is set (by a write, or already at reset), register 0x1D is
// locked until the next reset: later writes to it are ignored, so Protect
// and Lock can no longer change. The driver sets WriteBufferEn and Protect
// before it locks. SpiControl and the restricted-command registers stay
// writable after the lock: the driver programs them right after locking.
//
// Every write that reaches the controller is logged in order, so that a
// check can tell when protect and lock were written, and which writes the
// lock turned away.
#pragma once

#include "Machine.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

struct SpiRegisters {
  uint32_t control = 0;
  uint32_t restrictedCmd = 0;
  uint32_t restrictedCmd2 = 0;
  uint8_t reg1D = 0;
  bool operator==(const SpiRegisters &) const = default;
};

namespace spi {
// Register offsets.
constexpr uint8_t kSpiControl = 0x00;
constexpr uint8_t kRestrictedCmd = 0x04;
constexpr uint8_t kRestrictedCmd2 = 0x08;
constexpr uint8_t kReg1D = 0x1D;
// Bits of register 0x1D.
constexpr uint8_t kWriteBufferEn = 0x04;
constexpr uint8_t kProtect = 0x08;
constexpr uint8_t kLock = 0x20;
} // namespace spi

// "SpiControl", "RestrictedCmd", "RestrictedCmd2", other offsets in hex.
std::string spiRegisterName(uint64_t offset);

// One write as it reached the controller.
struct SpiWrite {
  uint8_t offset;
  uint8_t width;
  // The write covered register 0x1D while it was locked, and its byte there
  // was dropped (bytes of the write at other offsets still landed).
  bool ignored;
  uint64_t value;                   // as written
  uint64_t after;                   // what the same offset and width read right after it
  std::optional<size_t> traceIndex; // the machine's trace entry of the access
};

class SpiController : public MmioDevice {
public:
  static constexpr uint64_t kSize = 0x100;

  // With a machine, each logged write carries the index of its trace entry.
  explicit SpiController(SpiRegisters reset, const Machine *machine = nullptr);
  uint64_t mmioRead(uint64_t offset, unsigned width) override;
  void mmioWrite(uint64_t offset, unsigned width, uint64_t value) override;
  std::string name() const override { return "SPI"; }
  std::string registerName(uint64_t offset, bool write, uint8_t bank) const override;

  SpiRegisters registers() const { return registers_; }
  uint32_t spiControl() const { return registers_.control; }
  uint32_t restrictedCmd() const { return registers_.restrictedCmd; }
  uint32_t restrictedCmd2() const { return registers_.restrictedCmd2; }
  uint8_t reg1D() const { return registers_.reg1D; }
  bool writeBufferEnabled() const { return (registers_.reg1D & spi::kWriteBufferEn) != 0; }
  bool protect() const { return (registers_.reg1D & spi::kProtect) != 0; }
  bool locked() const { return (registers_.reg1D & spi::kLock) != 0; }
  // Every write, in the order it came.
  const std::vector<SpiWrite> &writes() const { return writes_; }

private:
  uint8_t readByte(unsigned offset) const;
  // False when the lock turned the byte away.
  bool writeByte(unsigned offset, uint8_t value);

  const Machine *machine_;
  SpiRegisters registers_;
  std::array<uint8_t, kSize> other_{}; // offsets outside the named registers
  std::vector<SpiWrite> writes_;
};

} // namespace sim
