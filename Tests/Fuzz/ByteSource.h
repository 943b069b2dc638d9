// SPDX-License-Identifier: BSD-2-Clause-Patent
// Takes values from fuzz input bytes; once the bytes run out every value is 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace fuzz {

class ByteSource {
public:
  explicit ByteSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint8_t byte() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
  uint64_t bytes(unsigned count) {
    uint64_t value = 0;
    for (unsigned i = 0; i < count; i++) {
      value |= static_cast<uint64_t>(byte()) << (8 * i);
    }
    return value;
  }
  uint16_t u16() { return static_cast<uint16_t>(bytes(2)); }
  uint32_t u32() { return static_cast<uint32_t>(bytes(4)); }
  uint64_t u64() { return bytes(8); }
  // 0 to n - 1 (n > 0).
  size_t below(size_t n) { return (n <= 256 ? byte() : u16()) % n; }
  // Printable ASCII, up to maxLength characters.
  std::string text(size_t maxLength) {
    std::string out(below(maxLength + 1), ' ');
    for (char &c : out) {
      c = static_cast<char>(0x20 + byte() % 0x5F);
    }
    return out;
  }
  std::span<const uint8_t> rest() {
    auto out = bytes_.subspan(std::min(at_, bytes_.size()));
    at_ = bytes_.size();
    return out;
  }
  bool empty() const { return at_ >= bytes_.size(); }

private:
  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
};

} // namespace fuzz
