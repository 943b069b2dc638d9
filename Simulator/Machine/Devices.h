// SPDX-License-Identifier: BSD-2-Clause-Patent
// Device models present on every board.
#pragma once

#include "Machine.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// POST-code ports 0x80 (code), 0xE0 (marker) and 0xE8 (dead-loop marker),
// with their history. A 0xDEAD marker followed by a code starts a fatal stop;
// once its display has cycled through all windows and starts over, nothing
// can release it any more and the machine is halted.
class PostCodePorts : public IoDevice {
public:
  static constexpr uint16_t kCodePort = 0x80;
  static constexpr uint16_t kMarkerPort = 0xE0;
  static constexpr uint16_t kDeadLoopPort = 0xE8;
  static constexpr unsigned kWindowsPerCycle = 6;

  struct Write {
    uint16_t port;
    unsigned width;
    uint32_t value;
    uint64_t timeNs;
  };
  struct FatalStop {
    uint32_t code = 0;
    bool codeSeen = false;
    std::vector<uint32_t> windows; // values shown after the code, in order
    bool halted = false;
  };

  explicit PostCodePorts(Machine &machine);
  uint32_t ioRead(uint16_t port, unsigned width) override;
  void ioWrite(uint16_t port, unsigned width, uint32_t value) override;
  std::string name() const override { return "POST code"; }
  std::string registerName(uint64_t port, bool write, uint8_t bank) const override;

  const std::vector<Write> &history() const { return history_; }
  const std::vector<FatalStop> &fatalStops() const { return fatalStops_; }
  bool deadLoopEntered() const { return deadLoop_; }

private:
  Machine &machine_;
  std::vector<Write> history_;
  std::vector<FatalStop> fatalStops_;
  bool armed_ = false;
  bool deadLoop_ = false;
  uint32_t last80_ = 0xFFFFFFFF; // reset value: the port latch reads back all ones before a write
};

// The ACPI PM timer: a 24-bit up-counter at 3,579,545 Hz, driven by the
// virtual clock. Reset value 0 at time 0; writes are ignored.
class AcpiPmTimer : public IoDevice {
public:
  static constexpr uint16_t kPort = 0x408;
  static constexpr uint64_t kFrequencyHz = 3579545;

  explicit AcpiPmTimer(Machine &machine, uint32_t startCount = 0);
  uint32_t ioRead(uint16_t port, unsigned width) override;
  void ioWrite(uint16_t port, unsigned width, uint32_t value) override;
  std::string name() const override { return "ACPI PM timer"; }
  std::string registerName(uint64_t port, bool write, uint8_t bank) const override;
  uint32_t count() const;

private:
  Machine &machine_;
  uint32_t startCount_;
};

// A serial port reduced to what a console needs: bytes written to the
// transmit register are captured, and the line status always reads
// transmitter empty (0x60). Other registers read back what was written.
class SerialCapture : public IoDevice {
public:
  explicit SerialCapture(uint16_t base);
  uint32_t ioRead(uint16_t port, unsigned width) override;
  void ioWrite(uint16_t port, unsigned width, uint32_t value) override;
  // Named as a 16550 is.
  std::string name() const override;
  uint8_t registerBank() const override { return (regs_[3] & 0x80) != 0 ? 1 : 0; }
  std::string registerName(uint64_t port, bool write, uint8_t bank) const override;
  const std::string &bytes() const { return bytes_; }
  uint16_t base() const { return base_; }
  std::function<void(char)> onByte;

private:
  uint16_t base_;
  uint8_t regs_[8] = {0, 0, 0x01, 0x03, 0, 0x60, 0, 0};
  std::string bytes_;
};

} // namespace sim
