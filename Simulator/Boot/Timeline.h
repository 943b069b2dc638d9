// SPDX-License-Identifier: BSD-2-Clause-Patent
// A boot laid out in virtual time, from its record alone: the platform's
// steps and every call into an image as slices on tracks, signals,
// installs, console lines and hub register writes as instants. Rendered as
// trace-event JSON (chrome://tracing, Perfetto) and drawn by HtmlReport.
#pragma once

#include "Record.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace sim {

// Bytes from the boot made printable ASCII: a control byte, a byte past
// 0x7E and a backslash become "\xNN" (so the text is valid UTF-8 and one line).
std::string escapedBytes(std::string_view bytes);

enum class InstantKind : uint8_t { Signal, Install, ConsoleLine, RegisterWrite };
const char *instantKindName(InstantKind kind); // "signal", "install", "console", "register"

struct TimelineSlice {
  size_t track = 0;
  std::string name;     // the function, or the step
  std::string image;    // "" for the platform's steps
  std::string function; // "" for the platform's steps
  uint64_t startNs = 0, endNs = 0;
  unsigned depth = 0;
  std::string tpl; // "" for the platform's steps
  std::string end; // "returned", "halted", "driver fault"; "" for steps
};

struct TimelineInstant {
  size_t track = 0;
  InstantKind kind = InstantKind::Signal;
  std::string name;
  uint64_t timeNs = 0;
};

struct TimelineView {
  std::vector<std::string> tracks; // "platform", one per image, "hub registers", one per UART
  std::vector<TimelineSlice> slices;
  std::vector<TimelineInstant> instants;
  uint64_t endNs = 0; // the latest time anything shows
};

TimelineView timelineView(const BootRecord &record);
// The trace-event JSON object: "traceEvents" (M, X and i events, times in
// microseconds of virtual time) and "displayTimeUnit".
nlohmann::json timelineJson(const BootRecord &record);

} // namespace sim
