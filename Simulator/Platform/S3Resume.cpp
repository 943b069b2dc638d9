// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "S3Resume.h"

#include <algorithm>

namespace sim {

size_t S3ResumeResult::mismatches() const {
  return static_cast<size_t>(std::count_if(registers.begin(), registers.end(),
                                           [](const ReplayedRegister &r) { return !r.matches(); })) +
         unrestored.size();
}

S3ResumeModel::S3ResumeModel(Machine &machine, PciConfigSpace &space, const PciMmioWindow *window)
    : machine_(machine), space_(space), window_(window) {}

std::optional<uint64_t> S3ResumeModel::peek(uint64_t address, unsigned width) const {
  if (window_ != nullptr && window_->decode(address)) {
    return window_->peek(address, width);
  }
  // A memory-mapped register outside the window: whatever device decodes it.
  return machine_.peekMmio(address, width);
}

namespace {
std::vector<uint32_t> dwords(const PciConfigSpace &space, PciLocation location) {
  std::vector<uint32_t> out;
  for (uint16_t offset = 0; offset < 4096; offset += 4) {
    out.push_back(space.read32(location, offset));
  }
  return out;
}
} // namespace

void S3ResumeModel::snapshot(const std::vector<S3TableEntry> &entries, const std::vector<PciLocation> &lose) {
  taken_ = true;
  for (const S3TableEntry &entry : entries) {
    auto key = std::make_pair(entry.arguments[1], entry.widthBytes());
    before_[key] = peek(key.first, key.second);
  }
  for (PciLocation location : lose) {
    spacesBefore_[location] = dwords(space_, location);
  }
}

S3ResumeResult
S3ResumeModel::resume(const std::vector<S3TableEntry> &entries, const std::vector<PciLocation> &lose,
                      const std::map<PciLocation, std::vector<std::pair<uint16_t, uint32_t>>> &powerOn) {
  S3ResumeResult result;
  result.ran = true;
  if (!taken_) {
    snapshot(entries, lose);
    result.note = "no table reached the SMM handler by Ready to Boot; values at the end of the boot compared";
  }
  // Sleep: the lost functions come back with their power-on values.
  for (PciLocation location : lose) {
    if (!space_.exists(location)) {
      continue;
    }
    space_.add(location).fill(0);
    if (auto found = powerOn.find(location); found != powerOn.end()) {
      for (const auto &[offset, value] : found->second) {
        space_.write32(location, offset, value);
      }
    }
    result.lost.push_back(location);
  }
  // Resume: the handler's replay, in table order.
  for (const S3TableEntry &entry : entries) {
    machine_.mmioWrite(entry.arguments[1], entry.widthBytes(), entry.arguments[2]);
    result.replayed++;
  }
  std::vector<std::pair<uint64_t, unsigned>> seen;
  for (const S3TableEntry &entry : entries) {
    auto key = std::make_pair(entry.arguments[1], entry.widthBytes());
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
      continue;
    }
    seen.push_back(key);
    ReplayedRegister reg{key.first, key.second,
                         window_ != nullptr ? window_->decode(key.first) : std::nullopt,
                         before_.count(key) != 0 ? before_[key] : std::nullopt, peek(key.first, key.second)};
    result.registers.push_back(reg);
  }
  for (const auto &[lostLocation, before] : spacesBefore_) {
    // A copy: clang 14 does not let a lambda capture a structured binding.
    PciLocation location = lostLocation;
    std::vector<uint32_t> after = dwords(space_, location);
    for (size_t i = 0; i < before.size(); i++) {
      // A replayed register that differs is already a mismatch above.
      bool replayed =
          std::any_of(result.registers.begin(), result.registers.end(), [&](const ReplayedRegister &r) {
            return r.reg && r.reg->location == location && r.reg->offset < i * 4 + 4 &&
                   r.reg->offset + r.width > i * 4;
          });
      if (!replayed && before[i] != after[i]) {
        result.unrestored.push_back(
            UnrestoredRegister{location, static_cast<uint16_t>(i * 4), before[i], after[i]});
      }
    }
  }
  return result;
}

} // namespace sim
