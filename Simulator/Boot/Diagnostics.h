// The platform side of the driver's diagnostics: CMOS, the Super I/O and
// the two console UARTs, the HOB lists that may carry the error level, and
// what the console did in a boot.
#pragma once

#include "Boot.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace sim {

// A HOB list as an earlier boot phase hands it over: the handoff HOB, one
// GUID HOB per entry, the end HOB. The handoff HOB names the end HOB by
// address, so sealHobList() must be called once the bytes no longer move.
std::vector<uint8_t> buildHobList(const std::vector<BoardHob> &hobs);
void sealHobList(std::vector<uint8_t> &list);

struct UartSummary {
  uint16_t base = 0;
  bool present = true;
  size_t sent = 0;
  size_t pending = 0; // never sent
  uint64_t lost = 0;  // written into a full FIFO
  std::vector<SentRun> runs;
  uint64_t lineNs = 0; // what its characters take on the line at their settings
};

struct ConsoleSummary {
  UartSummary uarts[2];
  bool identical = false;
  std::optional<size_t> firstDifference; // byte offset, when not identical
  bool sameSettings = false;
  // The line-rate bound: the slower UART's characters x bits / baud.
  uint64_t lineRateBoundNs = 0;
  // Virtual time of the firmware's accesses to the UARTs' ports, waits included.
  uint64_t consoleNs = 0;
  uint64_t accesses = 0;
};

ConsoleSummary consoleSummary(const Simulation &simulation);
// "115200 8N1", or "115200 8N1 then 9600 8N1" when the settings changed.
std::string settingsText(const UartSummary &uart);
// The console's part of the boot summary, and of the JSON report.
std::string consoleSummaryText(const Simulation &simulation);
nlohmann::json consoleSummaryJson(const Simulation &simulation);

} // namespace sim
