// SPDX-License-Identifier: BSD-2-Clause-Patent
// The machine's access trace made readable: each entry with the device and
// register the machine says it reached, and the image and function that made
// it; filtered by kind, address, device and virtual time; as text or JSON
// lines.
#pragma once

#include "Record.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

struct TraceFilter {
  std::vector<AccessKind> kinds;                            // empty: all
  std::vector<std::pair<uint64_t, uint64_t>> addressRanges; // inclusive; empty: all
  std::vector<std::string> devices;                         // "SPI", "UART 0x3F8", ...; empty: all
  std::optional<uint64_t> fromNs, toNs;                     // inclusive
};

struct NamedTraceEntry {
  size_t index;
  const TraceEntry *entry;
  std::string device; // "UART 0x3F8", "SPI", "PCI", "CMOS", ... or "" when no model owns it
  std::string reg;    // "LSR", "RestrictedCmd", "CF8", ...
  std::string code;   // "KeshInitDxe KeshOnEndOfDxe"
};

// Entries of the machine's trace that pass the filter, named.
std::vector<NamedTraceEntry> namedTrace(const Machine &machine, const BootRecord &record,
                                        const TraceFilter &filter);
std::string traceText(const std::vector<NamedTraceEntry> &entries);
std::string traceJsonLines(const std::vector<NamedTraceEntry> &entries);

// "io-read" -> AccessKind::IoRead.
std::optional<AccessKind> accessKindFromName(std::string_view name);
// Whether a device name given to the filter selects this device: the same
// name, ignoring case, or its first words ("UART" for "UART 0x3F8").
bool traceDeviceMatches(const std::string &device, const std::string &wanted);

} // namespace sim
