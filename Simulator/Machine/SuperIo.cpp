// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "SuperIo.h"

namespace sim {

SuperIo::SuperIo(const SuperIoConfig &config) {
  if (config.setUpEarlier) {
    setDevice(kUart3F8Device, SuperIoDevice{1, 0x3F8, 4});
    setDevice(kUart2F8Device, SuperIoDevice{1, 0x2F8, 3});
  }
  for (const auto &[number, device] : config.devices) {
    setDevice(number, device);
  }
}

void SuperIo::setDevice(uint8_t number, const SuperIoDevice &device) {
  auto &regs = state_.device[number & 0x0F];
  regs[0x30] = device.active;
  regs[0x60] = static_cast<uint8_t>(device.base >> 8);
  regs[0x61] = static_cast<uint8_t>(device.base);
  regs[0x70] = device.irq;
  updateDecodeFlags();
}

SuperIoDevice SuperIo::device(uint8_t number) const {
  const auto &regs = state_.device[number & 0x0F];
  return SuperIoDevice{regs[0x30], static_cast<uint16_t>(regs[0x60] << 8 | regs[0x61]), regs[0x70]};
}

bool SuperIo::decodes(uint8_t number, uint16_t base) const {
  SuperIoDevice d = device(number);
  return (d.active & 0x01) != 0 && d.base == base;
}

const bool *SuperIo::decodeFlag(uint8_t number, uint16_t base) {
  for (const DecodeFlag &flag : decodeFlags_) {
    if (flag.number == number && flag.base == base) {
      return &flag.decodes;
    }
  }
  decodeFlags_.push_back(DecodeFlag{number, base, decodes(number, base)});
  return &decodeFlags_.back().decodes;
}

void SuperIo::updateDecodeFlags() {
  for (DecodeFlag &flag : decodeFlags_) {
    flag.decodes = decodes(flag.number, flag.base);
  }
}

uint8_t SuperIo::readRegister(uint8_t index) const {
  return index < 0x30 ? state_.global[index] : state_.device[selected()][index];
}

void SuperIo::writeRegister(uint8_t index, uint8_t value) {
  if (index < 0x30) {
    state_.global[index] = value;
  } else {
    state_.device[selected()][index] = value;
  }
  updateDecodeFlags();
}

uint32_t SuperIo::ioRead(uint16_t port, unsigned width) {
  (void)width;
  switch (port) {
  case kIndexPort:
    return state_.index;
  case kDataPort:
    return readRegister(state_.index);
  default:
    return 0xFF;
  }
}

void SuperIo::ioWrite(uint16_t port, unsigned width, uint32_t value) {
  (void)width;
  switch (port) {
  case kIndexPort:
    state_.index = static_cast<uint8_t>(value);
    break;
  case kDataPort:
    writes_.push_back(Write{selected(), state_.index, static_cast<uint8_t>(value)});
    writeRegister(state_.index, static_cast<uint8_t>(value));
    break;
  default:
    break;
  }
}

} // namespace sim
