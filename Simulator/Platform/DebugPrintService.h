// SPDX-License-Identifier: BSD-2-Clause-Patent
// The silicon vendor's debug-print service as the platform provides it:
// it prints the lines whose filter flags the board enables, keeps them
// apart from the UART console, and counts the rest.
#pragma once

#include <Protocol/DebugPrintSvc.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct DebugPrintLine {
  uint64_t filter;
  std::string text;
  bool printed; // the filter shares a bit with the enabled flags
};

// Formats as the firmware's print library does for the conversions the
// firmware uses (%a %s %c %d %i %u %x %X %p %r %g %%, flags 0 - and width,
// l/L for 64 bits). Every argument occupies one 8-byte slot.
std::string formatFirmwareMessage(const char *format, VA_LIST marker);

class DebugPrintServiceModel {
public:
  // Its member gets no This pointer: one model exists at a time.
  explicit DebugPrintServiceModel(uint64_t enabledFilters);
  ~DebugPrintServiceModel();
  DebugPrintServiceModel(const DebugPrintServiceModel &) = delete;
  DebugPrintServiceModel &operator=(const DebugPrintServiceModel &) = delete;

  DebugPrintSvcProtocol *protocol() { return &iface_; }
  uint64_t enabledFilters() const { return enabled_; }
  void setEnabledFilters(uint64_t filters) { enabled_ = filters; }
  const std::vector<DebugPrintLine> &lines() const { return lines_; }
  std::string printedText() const; // the printed lines, concatenated
  void clear() { lines_.clear(); }

private:
  static VOID EFIAPI debugPrint(UINT64 filter, const CHAR8 *format, VA_LIST marker);
  DebugPrintSvcProtocol iface_;
  uint64_t enabled_;
  std::vector<DebugPrintLine> lines_;
};

} // namespace sim
