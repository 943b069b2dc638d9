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
// One entry per byte value: the reflected polynomial applied eight times.
constexpr std::array<uint32_t, 256> makeCrc32Table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t value = 0; value < 256; value++) {
    uint32_t crc = value;
    for (int bit = 0; bit < 8; bit++) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    table[value] = crc;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrc32Table = makeCrc32Table();
} // namespace

uint32_t crc32(const void *data, size_t size) {
  const auto *bytes = static_cast<const uint8_t *>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; i++) {
    crc = (crc >> 8) ^ kCrc32Table[(crc ^ bytes[i]) & 0xFFu];
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
