// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "DebugPrintService.h"

#include "Dxe/DxeCore.h"

#include <fmt/format.h>

#include <stdexcept>

namespace sim {

namespace {
// Its member gets no This pointer; one model per thread, as one boot runs
// in one thread.
thread_local DebugPrintServiceModel *gService = nullptr;

uint64_t nextSlot(VA_LIST &marker) {
  return __builtin_va_arg(marker, UINT64);
}
} // namespace

std::string formatFirmwareMessage(const char *format, VA_LIST marker) {
  std::string out;
  if (format == nullptr) {
    return "<null format>";
  }
  for (const char *p = format; *p != '\0'; p++) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    bool left = false, zero = false, wide = false;
    unsigned width = 0;
    for (p++; *p == '-' || *p == '0' || *p == ' ' || *p == '+' || *p == ','; p++) {
      left |= *p == '-';
      zero |= *p == '0';
    }
    if (*p == '*') {
      width = static_cast<unsigned>(nextSlot(marker));
      p++;
    }
    for (; *p >= '0' && *p <= '9'; p++) {
      width = width * 10 + static_cast<unsigned>(*p - '0');
    }
    for (; *p == 'l' || *p == 'L'; p++) {
      wide = true;
    }
    std::string field;
    bool numeric = true;
    switch (*p) {
    case '\0':
      return out;
    case '%':
      field = "%";
      numeric = false;
      break;
    case 'a': {
      const char *text = reinterpret_cast<const char *>(nextSlot(marker));
      field = text == nullptr ? "<null string>" : text;
      numeric = false;
      break;
    }
    case 's': {
      const CHAR16 *text = reinterpret_cast<const CHAR16 *>(nextSlot(marker));
      for (; text != nullptr && *text != 0; text++) {
        field += *text < 0x80 ? static_cast<char>(*text) : '?';
      }
      numeric = false;
      break;
    }
    case 'c':
      field = static_cast<char>(nextSlot(marker) & 0x7F);
      numeric = false;
      break;
    case 'd':
    case 'i': {
      uint64_t raw = nextSlot(marker);
      int64_t value = wide ? static_cast<int64_t>(raw) : static_cast<int32_t>(raw);
      field = fmt::format("{}", value);
      break;
    }
    case 'u': {
      uint64_t raw = nextSlot(marker);
      field = fmt::format("{}", wide ? raw : static_cast<uint32_t>(raw));
      break;
    }
    case 'x':
    case 'X': {
      uint64_t raw = nextSlot(marker);
      uint64_t value = wide ? raw : static_cast<uint32_t>(raw);
      field = *p == 'x' ? fmt::format("{:x}", value) : fmt::format("{:X}", value);
      break;
    }
    case 'p':
      field = fmt::format("{:016X}", nextSlot(marker));
      break;
    case 'r':
      field = statusName(nextSlot(marker));
      numeric = false;
      break;
    case 'g': {
      const auto *guid = reinterpret_cast<const EFI_GUID *>(nextSlot(marker));
      field = guid == nullptr ? "<null guid>" : guidToString(*guid);
      numeric = false;
      break;
    }
    default:
      field = std::string("%") + *p;
      numeric = false;
      break;
    }
    if (field.size() < width) {
      size_t pad = width - field.size();
      if (left) {
        field.append(pad, ' ');
      } else if (zero && numeric) {
        size_t sign = !field.empty() && field[0] == '-' ? 1 : 0;
        field.insert(sign, pad, '0');
      } else {
        field.insert(0, pad, ' ');
      }
    }
    out += field;
  }
  return out;
}

DebugPrintServiceModel::DebugPrintServiceModel(uint64_t enabledFilters)
    : iface_{debugPrint}, enabled_(enabledFilters) {
  if (gService != nullptr) {
    throw std::logic_error("a second debug-print service model was created while one exists");
  }
  gService = this;
}

DebugPrintServiceModel::~DebugPrintServiceModel() {
  gService = nullptr;
}

std::string DebugPrintServiceModel::printedText() const {
  std::string out;
  for (const DebugPrintLine &line : lines_) {
    if (line.printed) {
      out += line.text;
    }
  }
  return out;
}

VOID EFIAPI DebugPrintServiceModel::debugPrint(UINT64 filter, const CHAR8 *format, VA_LIST marker) {
  if (gService == nullptr) {
    return;
  }
  // No status to fail with: a failing service loses the line.
  if (platformServiceCall("DebugPrintSvc.DebugPrint")) {
    return;
  }
  bool printed = (filter & gService->enabled_) != 0;
  // Formatted only when printed: a dropped line's arguments are not read.
  std::string text =
      printed ? formatFirmwareMessage(format, marker) : std::string(format == nullptr ? "" : format);
  gService->lines_.push_back(DebugPrintLine{filter, std::move(text), printed});
}

} // namespace sim
