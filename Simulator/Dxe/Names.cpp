// SPDX-License-Identifier: BSD-2-Clause-Patent
// Status and GUID text as the firmware prints it, the table CRC and TPL names.
#include "Dxe/DxeCore.h"

#include <fmt/format.h>

#include <array>
#include <cctype>
#include <cstring>

namespace sim {

namespace {

// Indexed by the status code without its error bit.
constexpr std::array<std::string_view, 34> kErrorNames = {
    "",
    "Load Error",
    "Invalid Parameter",
    "Unsupported",
    "Bad Buffer Size",
    "Buffer Too Small",
    "Not Ready",
    "Device Error",
    "Write Protected",
    "Out of Resources",
    "Volume Corrupt",
    "Volume Full",
    "No Media",
    "Media changed",
    "Not Found",
    "Access Denied",
    "No Response",
    "No mapping",
    "Time out",
    "Not started",
    "Already started",
    "Aborted",
    "ICMP Error",
    "TFTP Error",
    "Protocol Error",
    "Incompatible Version",
    "Security Violation",
    "CRC Error",
    "End of Media",
    "Reserved (29)",
    "Reserved (30)",
    "End of File",
    "Invalid Language",
    "Compromised Data",
};

constexpr std::array<std::string_view, 6> kWarningNames = {
    "Success",
    "Warning Unknown Glyph",
    "Warning Delete Failure",
    "Warning Write Failure",
    "Warning Buffer Too Small",
    "Warning Stale Data",
};

struct MacroName {
  std::string_view name;
  EFI_STATUS value;
};

constexpr MacroName kMacroNames[] = {
    {"EFI_SUCCESS", EFI_SUCCESS},
    {"EFI_LOAD_ERROR", EFI_LOAD_ERROR},
    {"EFI_INVALID_PARAMETER", EFI_INVALID_PARAMETER},
    {"EFI_UNSUPPORTED", EFI_UNSUPPORTED},
    {"EFI_BAD_BUFFER_SIZE", EFI_BAD_BUFFER_SIZE},
    {"EFI_BUFFER_TOO_SMALL", EFI_BUFFER_TOO_SMALL},
    {"EFI_NOT_READY", EFI_NOT_READY},
    {"EFI_DEVICE_ERROR", EFI_DEVICE_ERROR},
    {"EFI_WRITE_PROTECTED", EFI_WRITE_PROTECTED},
    {"EFI_OUT_OF_RESOURCES", EFI_OUT_OF_RESOURCES},
    {"EFI_VOLUME_CORRUPTED", EFI_VOLUME_CORRUPTED},
    {"EFI_VOLUME_FULL", EFI_VOLUME_FULL},
    {"EFI_NO_MEDIA", EFI_NO_MEDIA},
    {"EFI_MEDIA_CHANGED", EFI_MEDIA_CHANGED},
    {"EFI_NOT_FOUND", EFI_NOT_FOUND},
    {"EFI_ACCESS_DENIED", EFI_ACCESS_DENIED},
    {"EFI_NO_RESPONSE", EFI_NO_RESPONSE},
    {"EFI_NO_MAPPING", EFI_NO_MAPPING},
    {"EFI_TIMEOUT", EFI_TIMEOUT},
    {"EFI_NOT_STARTED", EFI_NOT_STARTED},
    {"EFI_ALREADY_STARTED", EFI_ALREADY_STARTED},
    {"EFI_ABORTED", EFI_ABORTED},
    {"EFI_ICMP_ERROR", EFI_ICMP_ERROR},
    {"EFI_TFTP_ERROR", EFI_TFTP_ERROR},
    {"EFI_PROTOCOL_ERROR", EFI_PROTOCOL_ERROR},
    {"EFI_INCOMPATIBLE_VERSION", EFI_INCOMPATIBLE_VERSION},
    {"EFI_SECURITY_VIOLATION", EFI_SECURITY_VIOLATION},
    {"EFI_CRC_ERROR", EFI_CRC_ERROR},
    {"EFI_END_OF_MEDIA", EFI_END_OF_MEDIA},
    {"EFI_END_OF_FILE", EFI_END_OF_FILE},
    {"EFI_INVALID_LANGUAGE", EFI_INVALID_LANGUAGE},
    {"EFI_COMPROMISED_DATA", EFI_COMPROMISED_DATA},
    {"EFI_WARN_UNKNOWN_GLYPH", EFI_WARN_UNKNOWN_GLYPH},
    {"EFI_WARN_DELETE_FAILURE", EFI_WARN_DELETE_FAILURE},
    {"EFI_WARN_WRITE_FAILURE", EFI_WARN_WRITE_FAILURE},
    {"EFI_WARN_BUFFER_TOO_SMALL", EFI_WARN_BUFFER_TOO_SMALL},
    {"EFI_WARN_STALE_DATA", EFI_WARN_STALE_DATA},
};

std::optional<unsigned> hexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return static_cast<unsigned>(c - '0');
  }
  if (c >= 'a' && c <= 'f') {
    return static_cast<unsigned>(c - 'a' + 10);
  }
  if (c >= 'A' && c <= 'F') {
    return static_cast<unsigned>(c - 'A' + 10);
  }
  return std::nullopt;
}

// Parses exactly `digits` hex digits at `text[at]`.
std::optional<uint64_t> hexField(std::string_view text, size_t at, size_t digits) {
  uint64_t value = 0;
  for (size_t i = 0; i < digits; i++) {
    auto digit = hexDigit(text[at + i]);
    if (!digit) {
      return std::nullopt;
    }
    value = (value << 4) | *digit;
  }
  return value;
}

} // namespace

std::string statusName(EFI_STATUS status) {
  if (status < kWarningNames.size()) {
    return std::string(kWarningNames[status]);
  }
  if ((status & MAX_BIT) != 0) {
    EFI_STATUS code = status & ~MAX_BIT;
    if (code >= 1 && code < kErrorNames.size()) {
      return std::string(kErrorNames[code]);
    }
  }
  return fmt::format("{:08X}", status & 0xFFFFFFFFu);
}

std::optional<std::string_view> statusMacroName(EFI_STATUS status) {
  for (const auto &macro : kMacroNames) {
    if (macro.value == status) {
      return macro.name;
    }
  }
  return std::nullopt;
}

std::optional<EFI_STATUS> statusFromName(std::string_view name) {
  for (const auto &macro : kMacroNames) {
    if (macro.name == name) {
      return macro.value;
    }
  }
  for (size_t i = 0; i < kWarningNames.size(); i++) {
    if (kWarningNames[i] == name) {
      return static_cast<EFI_STATUS>(i);
    }
  }
  for (size_t i = 1; i < kErrorNames.size(); i++) {
    if (kErrorNames[i] == name) {
      return static_cast<EFI_STATUS>(MAX_BIT | i);
    }
  }
  return std::nullopt;
}

std::string guidToString(const EFI_GUID &guid) {
  return fmt::format("{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}", guid.Data1,
                     guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                     guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
}

std::string firmwareText(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) {
    if (c >= 0x20 && c < 0x7F && c != u'\\') {
      out += static_cast<char>(c);
    } else {
      out += fmt::format("\\u{:04X}", static_cast<unsigned>(c));
    }
  }
  return out;
}

std::optional<EFI_GUID> guidFromString(std::string_view text) {
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
    return std::nullopt;
  }
  auto data1 = hexField(text, 0, 8);
  auto data2 = hexField(text, 9, 4);
  auto data3 = hexField(text, 14, 4);
  if (!data1 || !data2 || !data3) {
    return std::nullopt;
  }
  EFI_GUID guid{static_cast<UINT32>(*data1), static_cast<UINT16>(*data2), static_cast<UINT16>(*data3), {}};
  // Data4: two bytes before the last dash, six after it.
  constexpr size_t kOffsets[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (size_t i = 0; i < 8; i++) {
    auto byte = hexField(text, kOffsets[i], 2);
    if (!byte) {
      return std::nullopt;
    }
    guid.Data4[i] = static_cast<UINT8>(*byte);
  }
  return guid;
}

bool sameGuid(const EFI_GUID &a, const EFI_GUID &b) {
  return std::memcmp(&a, &b, sizeof(EFI_GUID)) == 0;
}

namespace {
// Slicing by eight: table[0] is the classic byte-at-a-time table (the
// reflected polynomial applied eight times); table[k] advances a byte that
// is k bytes further from the end, so eight bytes are folded per step.
using Crc32Tables = std::array<std::array<uint32_t, 256>, 8>;
constexpr Crc32Tables makeCrc32Tables() {
  Crc32Tables tables{};
  for (uint32_t value = 0; value < 256; value++) {
    uint32_t crc = value;
    for (int bit = 0; bit < 8; bit++) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    tables[0][value] = crc;
  }
  for (size_t k = 1; k < 8; k++) {
    for (uint32_t value = 0; value < 256; value++) {
      uint32_t previous = tables[k - 1][value];
      tables[k][value] = (previous >> 8) ^ tables[0][previous & 0xFFu];
    }
  }
  return tables;
}
constexpr Crc32Tables kCrc32 = makeCrc32Tables();
} // namespace

uint32_t crc32(const void *data, size_t size) {
  const auto *bytes = static_cast<const uint8_t *>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (; size >= 8; size -= 8, bytes += 8) {
    uint32_t low = crc ^ (uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                          uint32_t{bytes[3]} << 24);
    crc = kCrc32[7][low & 0xFFu] ^ kCrc32[6][(low >> 8) & 0xFFu] ^ kCrc32[5][(low >> 16) & 0xFFu] ^
          kCrc32[4][low >> 24] ^ kCrc32[3][bytes[4]] ^ kCrc32[2][bytes[5]] ^ kCrc32[1][bytes[6]] ^
          kCrc32[0][bytes[7]];
  }
  for (; size > 0; size--, bytes++) {
    crc = (crc >> 8) ^ kCrc32[0][(crc ^ *bytes) & 0xFFu];
  }
  return ~crc;
}

std::string tplName(EFI_TPL tpl) {
  switch (tpl) {
  case TPL_APPLICATION:
    return "TPL_APPLICATION";
  case TPL_CALLBACK:
    return "TPL_CALLBACK";
  case TPL_NOTIFY:
    return "TPL_NOTIFY";
  case TPL_HIGH_LEVEL:
    return "TPL_HIGH_LEVEL";
  default:
    return fmt::format("TPL {}", tpl);
  }
}

} // namespace sim
