// SPDX-License-Identifier: BSD-2-Clause-Patent
// A 16550 UART on eight I/O ports from its base, as a console uses it: the
// divisor latch, line control, FIFO control with the FIFO bits of the
// interrupt identification register, modem control, a 16-byte transmit FIFO
// (a single holding register with the FIFOs off) in front of the shift
// register, and the line status bits THRE (0x20) and TEMT (0x40). The
// transmitter is paced by the virtual clock at the programmed speed:
// 115200 / divisor baud, start + data + parity + stop bits a character (10
// at 8N1). Every character sent is captured with the line settings it went
// out at. Nothing is ever received and no interrupt is raised.
#pragma once

#include "Machine.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// A 16550 register by offset from the base: with the divisor latch open,
// offsets 0 and 1 are DLL and DLM; reads and writes of offset 2 reach IIR
// and FCR.
std::string uartRegisterName(unsigned offset, bool divisorLatch, bool write);

struct LineSettings {
  uint16_t divisor = 0x000C;
  uint8_t lcr = 0x00; // bits 6:0 of the line control register: word length, stop bits, parity, break
  bool operator==(const LineSettings &) const = default;
  // 0 for a divisor of 0, which leaves the transmitter without a clock.
  uint32_t baud() const;
  unsigned halfBitsPerCharacter() const;
  uint64_t characterNs() const;
  std::string text() const; // "115200 8N1"
};

// How a board fits a UART.
struct UartConfig {
  bool present = true;         // false: nothing answers at its ports
  bool fifoReportsOff = false; // IIR bits 7:6 read 0 even with the FIFOs on
  bool neverDrains = false;    // the transmitter never sends: THRE and TEMT stay clear
  // Registers an earlier boot phase left programmed; reset values otherwise.
  std::optional<uint16_t> divisor = std::nullopt;
  std::optional<uint8_t> lcr = std::nullopt, mcr = std::nullopt, fcr = std::nullopt;
};

// Reset values: IER 0x00, IIR 0x01 (no interrupt pending, FIFOs off), FCR
// 0x00, LCR 0x00, MCR 0x00, LSR 0x60 (holding register and transmitter
// empty), MSR 0xB0 (CTS, DSR and DCD of an attached terminal), SCR 0x00,
// divisor 0x000C (9600 baud); transmit FIFO empty, shift register idle.
struct Uart16550State {
  uint8_t ier = 0x00;
  uint8_t fcr = 0x00;
  uint8_t lcr = 0x00;
  uint8_t mcr = 0x00;
  uint8_t msr = 0xB0;
  uint8_t scr = 0x00;
  uint16_t divisor = 0x000C;
  std::deque<uint8_t> transmitFifo; // at most 16 bytes, or 1 with the FIFOs off
  bool shifting = false;
  uint8_t shiftByte = 0;
  LineSettings shiftSettings;
  uint64_t shiftStartNs = 0;
  uint64_t shiftEndNs = 0;
};

// Consecutive characters sent at the same settings.
struct SentRun {
  LineSettings settings;
  size_t first = 0;
  size_t count = 0;
  uint64_t startNs = 0; // the first character's start bit
  uint64_t endNs = 0;   // the last character's stop bit ends
};

// One write to the transmit holding register (one a character: widest
// members first).
struct HoldingWrite {
  uint64_t timeNs;
  size_t fifoLevel; // bytes waiting just before it
  uint8_t byte;
  bool transmitterEmpty; // TEMT was set just before it
  bool lost;             // the FIFO was full
};
static_assert(sizeof(HoldingWrite) == 24);

class Uart16550 : public IoDevice {
public:
  static constexpr unsigned kFifoSize = 16;
  static constexpr uint32_t kClockBaud = 115200;

  Uart16550(Machine &machine, uint16_t base, const UartConfig &config = {});
  uint32_t ioRead(uint16_t port, unsigned width) override;
  void ioWrite(uint16_t port, unsigned width, uint32_t value) override;
  // "UART 0x3F8"; bank 1 while the divisor latch is open (DLL and DLM at
  // offsets 0 and 1). Offset 2 is IIR to a read and FCR to a write.
  std::string name() const override;
  uint8_t registerBank() const override;
  std::string registerName(uint64_t port, bool write, uint8_t bank) const override;

  // While the flag is false the UART does not decode its ports: reads float
  // (0xFF) and writes are lost. Null: it always decodes.
  void setDecodeGate(const bool *decoding) { decodeGate_ = decoding; }
  bool decoding() const { return config_.present && (decodeGate_ == nullptr || *decodeGate_); }

  // The line status register is what firmware polls: while the transmitter
  // works it holds its value until the shift register finishes its
  // character, and settles when the last queued one has gone out.
  std::optional<PollForecast> pollForecast(uint16_t port, unsigned width) const override;
  void skippedReads(uint16_t port, unsigned width, uint64_t count) override;

  // Lets the line finish what is queued, at the times it would go out even
  // when that is past the machine's clock: for the end of a boot.
  void drain();

  uint16_t base() const { return base_; }
  const UartConfig &config() const { return config_; }
  const Uart16550State &state() const { return state_; }
  LineSettings settings() const {
    return LineSettings{state_.divisor, static_cast<uint8_t>(state_.lcr & 0x7F)};
  }
  bool fifoEnabled() const { return (state_.fcr & 0x01) != 0; }

  // What went out on the line.
  const std::string &bytes() const { return sent_; }
  const std::vector<SentRun> &runs() const { return runs_; }
  // When each line feed sent finished going out, in order: a console line's time.
  const std::vector<uint64_t> &lineFeedNs() const { return lineFeedNs_; }
  // Written but not sent (yet).
  size_t pending() const { return state_.transmitFifo.size() + (state_.shifting ? 1 : 0); }
  uint64_t lost() const { return lost_; }
  const std::vector<HoldingWrite> &holdingWrites() const { return holdingWrites_; }
  // Accesses to its ports, decoded or not, and the virtual time they took.
  uint64_t accesses() const { return accesses_; }
  uint64_t accessNs() const { return accessNs_; }

  std::function<void(char)> onByte;

private:
  unsigned fifoCapacity() const { return fifoEnabled() ? kFifoSize : 1; }
  uint8_t lineStatus() const;
  void advance(uint64_t nowNs);
  void startNext(uint64_t atNs);
  void count();

  Machine &machine_;
  uint16_t base_;
  UartConfig config_;
  Uart16550State state_;
  const bool *decodeGate_ = nullptr;
  std::string sent_;
  std::vector<SentRun> runs_;
  std::vector<uint64_t> lineFeedNs_;
  std::vector<HoldingWrite> holdingWrites_;
  uint64_t lost_ = 0;
  uint64_t accesses_ = 0;
  uint64_t accessNs_ = 0;
};

} // namespace sim
