// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Devices.h"

#include "Uart16550.h"

#include <fmt/format.h>

namespace sim {

PostCodePorts::PostCodePorts(Machine &machine) : machine_(machine) {}

uint32_t PostCodePorts::ioRead(uint16_t port, unsigned width) {
  (void)width;
  return port == kCodePort ? last80_ : 0xFFFFFFFF;
}

void PostCodePorts::ioWrite(uint16_t port, unsigned width, uint32_t value) {
  history_.push_back(Write{port, width, value, machine_.nowNs()});
  switch (port) {
  case kMarkerPort:
    if (width == 2 && value == 0xDEAD) {
      armed_ = true;
      fatalStops_.push_back(FatalStop{});
    }
    break;
  case kCodePort:
    last80_ = value;
    if (armed_) {
      FatalStop &stop = fatalStops_.back();
      if (!stop.codeSeen) {
        stop.code = value;
        stop.codeSeen = true;
      } else {
        stop.windows.push_back(value);
        if (stop.windows.size() > kWindowsPerCycle) {
          stop.halted = true;
          armed_ = false;
          machine_.halt(HaltReason::FatalStop, fmt::format("fatal stop 0x{:08X}", stop.code));
        }
      }
    }
    break;
  case kDeadLoopPort:
    if (value == 0x4C6F6F70) {
      deadLoop_ = true;
      machine_.halt(HaltReason::DeadLoop, "dead loop entered");
    }
    break;
  default:
    break;
  }
}

// A register wider than the access names the bytes past its start by
// their distance from it: "code+1".
static std::string withinRegister(const char *name, uint64_t port, uint16_t start) {
  return port == start ? std::string(name) : fmt::format("{}+{}", name, port - start);
}

std::string PostCodePorts::registerName(uint64_t port, bool write, uint8_t bank) const {
  (void)write;
  (void)bank;
  if (port >= kDeadLoopPort) {
    return "dead loop";
  }
  if (port >= kMarkerPort) {
    return "marker";
  }
  return withinRegister("code", port, kCodePort);
}

AcpiPmTimer::AcpiPmTimer(Machine &machine, uint32_t startCount)
    : machine_(machine), startCount_(startCount) {}

uint32_t AcpiPmTimer::count() const {
  // 128-bit intermediate: nanoseconds times the frequency overflows 64 bits
  // after about 85 minutes of virtual time.
  unsigned __int128 ticks = static_cast<unsigned __int128>(machine_.nowNs()) * kFrequencyHz / 1000000000u;
  return static_cast<uint32_t>((ticks + startCount_) & 0xFFFFFF);
}

uint32_t AcpiPmTimer::ioRead(uint16_t port, unsigned width) {
  (void)port;
  (void)width;
  return count();
}

void AcpiPmTimer::ioWrite(uint16_t port, unsigned width, uint32_t value) {
  (void)port;
  (void)width;
  (void)value;
}

std::string AcpiPmTimer::registerName(uint64_t port, bool write, uint8_t bank) const {
  (void)write;
  (void)bank;
  return withinRegister("PM_TMR", port, kPort);
}

SerialCapture::SerialCapture(uint16_t base) : base_(base) {}

uint32_t SerialCapture::ioRead(uint16_t port, unsigned width) {
  (void)width;
  unsigned reg = (port - base_) & 7;
  if (reg == 5) {
    return 0x60;
  }
  return regs_[reg];
}

void SerialCapture::ioWrite(uint16_t port, unsigned width, uint32_t value) {
  (void)width;
  unsigned reg = (port - base_) & 7;
  bool dlab = (regs_[3] & 0x80) != 0;
  if (reg == 0 && !dlab) {
    bytes_.push_back(static_cast<char>(value & 0xFF));
    if (onByte) {
      onByte(bytes_.back());
    }
    return;
  }
  regs_[reg] = static_cast<uint8_t>(value);
}

std::string SerialCapture::name() const {
  return fmt::format("UART 0x{:X}", base_);
}

std::string SerialCapture::registerName(uint64_t port, bool write, uint8_t bank) const {
  return uartRegisterName(static_cast<unsigned>(port - base_), bank != 0, write);
}

} // namespace sim
