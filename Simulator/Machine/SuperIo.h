// SPDX-License-Identifier: BSD-2-Clause-Patent
// A Super I/O on the index/data pair 0x4E/0x4F, without a configuration
// mode: the pair works at once. Register 0x07 selects one of 16 logical
// devices; each device has its own registers from 0x30 up: 0x30 activate
// (bit 0), 0x60/0x61 I/O base high/low, 0x70 interrupt. Logical device 3 is
// the UART at 0x3F8 and device 2 the UART at 0x2F8; each decodes its ports
// only while its device is active at that base.
#pragma once

#include "Machine.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

namespace sim {

struct SuperIoDevice {
  uint8_t active = 0;
  uint16_t base = 0;
  uint8_t irq = 0;
  bool operator==(const SuperIoDevice &) const = default;
};

struct SuperIoConfig {
  // An earlier boot phase set both UARTs up (device 3 at 0x3F8 on IRQ 4,
  // device 2 at 0x2F8 on IRQ 3), and their decoding no longer depends on
  // these registers.
  bool setUpEarlier = false;
  // Register state an earlier phase left, by logical device.
  std::map<uint8_t, SuperIoDevice> devices;
};

// Reset values: index 0; logical device 0 selected; every device inactive
// at base 0 with interrupt 0; every other register 0.
struct SuperIoState {
  uint8_t index = 0;
  std::array<uint8_t, 0x30> global{};
  std::array<std::array<uint8_t, 0x100>, 16> device{}; // registers 0x30-0xFF of each logical device
};

class SuperIo : public IoDevice {
public:
  static constexpr uint16_t kIndexPort = 0x4E;
  static constexpr uint16_t kDataPort = 0x4F;
  static constexpr uint8_t kUart3F8Device = 3;
  static constexpr uint8_t kUart2F8Device = 2;

  struct Write {
    uint8_t device; // selected when written
    uint8_t index;
    uint8_t value;
  };

  explicit SuperIo(const SuperIoConfig &config = {});
  uint32_t ioRead(uint16_t port, unsigned width) override;
  void ioWrite(uint16_t port, unsigned width, uint32_t value) override;
  std::string name() const override { return "Super I/O"; }
  std::string registerName(uint64_t port, bool write, uint8_t bank) const override {
    (void)write;
    (void)bank;
    return port == kIndexPort ? "index" : "data";
  }

  SuperIoDevice device(uint8_t number) const;
  bool decodes(uint8_t number, uint16_t base) const;
  // A flag that follows decodes(number, base) as the registers change, for
  // a device model to test on every access; it lives as long as this.
  const bool *decodeFlag(uint8_t number, uint16_t base);
  // Data-port writes, in order.
  const std::vector<Write> &writes() const { return writes_; }

private:
  uint8_t selected() const { return state_.global[0x07] & 0x0F; }
  uint8_t readRegister(uint8_t index) const;
  void writeRegister(uint8_t index, uint8_t value);
  void setDevice(uint8_t number, const SuperIoDevice &device);
  void updateDecodeFlags();

  struct DecodeFlag {
    uint8_t number;
    uint16_t base;
    bool decodes;
  };

  SuperIoState state_;
  std::vector<Write> writes_;
  std::deque<DecodeFlag> decodeFlags_; // stable addresses
};

} // namespace sim
