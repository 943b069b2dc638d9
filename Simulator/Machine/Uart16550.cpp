// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Uart16550.h"

#include <fmt/format.h>

#include <limits>

namespace sim {

namespace {
// Register offsets.
constexpr unsigned kThrRbrDll = 0, kIerDlm = 1, kIirFcr = 2, kLcr = 3, kMcr = 4, kLsr = 5, kMsr = 6, kScr = 7;
constexpr uint8_t kLcrDlab = 0x80;
constexpr uint8_t kFcrEnable = 0x01, kFcrClearTransmit = 0x04;
constexpr uint8_t kLsrThre = 0x20, kLsrTemt = 0x40;
} // namespace

std::string uartRegisterName(unsigned offset, bool divisorLatch, bool write) {
  static const char *const kRead[] = {"RBR", "IER", "IIR", "LCR", "MCR", "LSR", "MSR", "SCR"};
  static const char *const kWrite[] = {"THR", "IER", "FCR", "LCR", "MCR", "LSR", "MSR", "SCR"};
  offset &= 7;
  if (divisorLatch && offset < 2) {
    return offset == 0 ? "DLL" : "DLM";
  }
  return (write ? kWrite : kRead)[offset];
}

uint32_t LineSettings::baud() const {
  return divisor == 0 ? 0 : Uart16550::kClockBaud / divisor;
}

unsigned LineSettings::halfBitsPerCharacter() const {
  unsigned dataBits = 5 + (lcr & 0x03);
  unsigned parityBits = (lcr & 0x08) != 0 ? 1 : 0;
  unsigned stopHalfBits = (lcr & 0x04) == 0 ? 2 : (dataBits == 5 ? 3 : 4);
  return 2 * (1 + dataBits + parityBits) + stopHalfBits;
}

uint64_t LineSettings::characterNs() const {
  // Half bits x divisor / (2 x 115200) seconds, rounded to the nearest ns.
  uint64_t scaled = static_cast<uint64_t>(halfBitsPerCharacter()) * divisor * 1000000000ull;
  uint64_t perSecond = 2ull * Uart16550::kClockBaud;
  return (scaled + perSecond / 2) / perSecond;
}

std::string LineSettings::text() const {
  char parity = 'N';
  if ((lcr & 0x08) != 0) {
    bool even = (lcr & 0x10) != 0;
    parity = (lcr & 0x20) != 0 ? (even ? 'S' : 'M') : (even ? 'E' : 'O');
  }
  unsigned dataBits = 5 + (lcr & 0x03);
  const char *stop = (lcr & 0x04) == 0 ? "1" : (dataBits == 5 ? "1.5" : "2");
  return fmt::format("{} {}{}{}{}", baud(), dataBits, parity, stop, (lcr & 0x40) != 0 ? " break" : "");
}

Uart16550::Uart16550(Machine &machine, uint16_t base, const UartConfig &config)
    : machine_(machine), base_(base), config_(config) {
  state_.divisor = config.divisor.value_or(state_.divisor);
  state_.lcr = config.lcr.value_or(state_.lcr);
  state_.mcr = config.mcr.value_or(state_.mcr);
  state_.fcr = config.fcr.value_or(state_.fcr);
}

std::string Uart16550::name() const {
  return fmt::format("UART 0x{:X}", base_);
}

uint8_t Uart16550::registerBank() const {
  return (state_.lcr & kLcrDlab) != 0 ? 1 : 0;
}

std::string Uart16550::registerName(uint64_t port, bool write, uint8_t bank) const {
  return uartRegisterName(static_cast<unsigned>(port - base_), bank != 0, write);
}

void Uart16550::count() {
  accesses_++;
  uint64_t cost = machine_.accessCostNs();
  accessNs_ = accessNs_ > ~0ULL - cost ? ~0ULL : accessNs_ + cost; // saturates like the machine's clock
}

std::optional<IoDevice::PollForecast> Uart16550::pollForecast(uint16_t port, unsigned width) const {
  (void)width;
  // The settled status has THRE and TEMT set, all a console waits for: a
  // wait on this register ends by then at the latest. Undecoded, never
  // draining or idle (nothing queued, or no baud clock to send it), the
  // status changes only when something is written.
  if (((port - base_) & 7) != kLsr || !decoding() || config_.neverDrains || !state_.shifting) {
    return std::nullopt;
  }
  uint64_t waiting = state_.transmitFifo.size();
  if (waiting == 0) {
    return PollForecast{state_.shiftEndNs, state_.shiftEndNs};
  }
  // The character after this one starts at the settings of that moment,
  // which reads cannot change; without a divisor the rest stays queued.
  LineSettings next = settings();
  if (next.divisor == 0) {
    return std::nullopt;
  }
  return PollForecast{state_.shiftEndNs, state_.shiftEndNs + waiting * next.characterNs()};
}

void Uart16550::skippedReads(uint16_t port, unsigned width, uint64_t count) {
  (void)port;
  (void)width;
  accesses_ += count;
  accessNs_ += count * machine_.accessCostNs();
}

uint8_t Uart16550::lineStatus() const {
  if (config_.neverDrains) {
    return 0x00;
  }
  uint8_t status = 0x00;
  if (state_.transmitFifo.empty()) {
    status |= kLsrThre;
    if (!state_.shifting) {
      status |= kLsrTemt;
    }
  }
  return status;
}

void Uart16550::startNext(uint64_t atNs) {
  LineSettings settings = this->settings();
  // Without a baud clock nothing leaves the FIFO.
  if (state_.transmitFifo.empty() || settings.divisor == 0 || config_.neverDrains) {
    state_.shifting = false;
    return;
  }
  state_.shiftByte = state_.transmitFifo.front();
  state_.transmitFifo.pop_front();
  state_.shiftSettings = settings;
  state_.shiftStartNs = atNs;
  state_.shiftEndNs = atNs + settings.characterNs();
  state_.shifting = true;
}

void Uart16550::advance(uint64_t nowNs) {
  while (state_.shifting && state_.shiftEndNs <= nowNs) {
    sent_.push_back(static_cast<char>(state_.shiftByte));
    if (runs_.empty() || runs_.back().settings != state_.shiftSettings) {
      runs_.push_back(SentRun{state_.shiftSettings, sent_.size() - 1, 0, state_.shiftStartNs, 0});
    }
    runs_.back().count++;
    runs_.back().endNs = state_.shiftEndNs;
    if (state_.shiftByte == '\n') {
      lineFeedNs_.push_back(state_.shiftEndNs);
    }
    if (onByte) {
      onByte(sent_.back());
    }
    startNext(state_.shiftEndNs);
  }
}

void Uart16550::drain() {
  advance(std::numeric_limits<uint64_t>::max());
}

uint32_t Uart16550::ioRead(uint16_t port, unsigned width) {
  (void)width;
  count();
  if (!decoding()) {
    return 0xFF;
  }
  advance(machine_.nowNs());
  bool dlab = (state_.lcr & kLcrDlab) != 0;
  switch ((port - base_) & 7) {
  case kThrRbrDll:
    // The receive buffer never holds anything.
    return dlab ? state_.divisor & 0xFF : 0x00;
  case kIerDlm:
    return dlab ? state_.divisor >> 8 : state_.ier;
  case kIirFcr:
    return 0x01 | (fifoEnabled() && !config_.fifoReportsOff ? 0xC0 : 0x00);
  case kLcr:
    return state_.lcr;
  case kMcr:
    return state_.mcr;
  case kLsr:
    return lineStatus();
  case kMsr:
    return state_.msr;
  case kScr:
  default:
    return state_.scr;
  }
}

void Uart16550::ioWrite(uint16_t port, unsigned width, uint32_t value) {
  (void)width;
  count();
  if (!decoding()) {
    return;
  }
  uint64_t now = machine_.nowNs();
  advance(now);
  auto byte = static_cast<uint8_t>(value);
  bool dlab = (state_.lcr & kLcrDlab) != 0;
  switch ((port - base_) & 7) {
  case kThrRbrDll:
    if (dlab) {
      state_.divisor = static_cast<uint16_t>((state_.divisor & 0xFF00) | byte);
      break;
    }
    {
      bool full = state_.transmitFifo.size() >= fifoCapacity();
      holdingWrites_.push_back(HoldingWrite{.timeNs = now,
                                            .fifoLevel = state_.transmitFifo.size(),
                                            .byte = byte,
                                            .transmitterEmpty = (lineStatus() & kLsrTemt) != 0,
                                            .lost = full});
      if (full) {
        lost_++;
        break;
      }
      state_.transmitFifo.push_back(byte);
    }
    break;
  case kIerDlm:
    if (dlab) {
      state_.divisor = static_cast<uint16_t>((state_.divisor & 0x00FF) | byte << 8);
    } else {
      state_.ier = byte & 0x0F;
    }
    break;
  case kIirFcr: {
    // Switching the FIFOs on or off empties them, as a clear does.
    bool toggled = ((state_.fcr ^ byte) & kFcrEnable) != 0;
    if (toggled || (byte & kFcrClearTransmit) != 0) {
      lost_ += state_.transmitFifo.size();
      state_.transmitFifo.clear();
    }
    // The clear bits do not stay set.
    state_.fcr = byte & 0xC9;
    break;
  }
  case kLcr:
    state_.lcr = byte;
    break;
  case kMcr:
    state_.mcr = byte & 0x1F;
    break;
  case kScr:
    state_.scr = byte;
    break;
  case kLsr:
  case kMsr:
  default:
    break;
  }
  // A divisor that is no longer 0 sets waiting bytes going.
  if (!state_.shifting) {
    startNext(now);
  }
}

} // namespace sim
