// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Trace.h"
#include "Host/TimeText.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace sim {

namespace {

std::string hex(uint64_t value) {
  return fmt::format("0x{:X}", value);
}

bool deviceMatches(const std::string &device, const std::vector<std::string> &wanted) {
  return wanted.empty() || std::any_of(wanted.begin(), wanted.end(), [&device](const std::string &w) {
           return traceDeviceMatches(device, w);
         });
}

} // namespace

bool traceDeviceMatches(const std::string &device, const std::string &wanted) {
  auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
  };
  std::string have = lower(device);
  std::string want = lower(wanted);
  // "UART" matches both UARTs, "UART 0x3F8" one of them.
  return have == want || (have.rfind(want, 0) == 0 && have.size() > want.size() && have[want.size()] == ' ');
}

std::optional<AccessKind> accessKindFromName(std::string_view name) {
  for (AccessKind kind :
       {AccessKind::IoRead, AccessKind::IoWrite, AccessKind::MmioRead, AccessKind::MmioWrite,
        AccessKind::Cpuid, AccessKind::ReadMsr, AccessKind::InterruptsOff, AccessKind::InterruptsOn,
        AccessKind::Breakpoint, AccessKind::DebugQuery, AccessKind::Interrupt}) {
    if (name == accessKindName(kind)) {
      return kind;
    }
  }
  return std::nullopt;
}

std::vector<NamedTraceEntry> namedTrace(const Machine &machine, const BootRecord &record,
                                        const TraceFilter &filter) {
  std::vector<NamedTraceEntry> out;
  const std::vector<TraceEntry> &trace = machine.trace();
  for (size_t i = 0; i < trace.size(); i++) {
    const TraceEntry &e = trace[i];
    if (!filter.kinds.empty() &&
        std::find(filter.kinds.begin(), filter.kinds.end(), e.kind) == filter.kinds.end()) {
      continue;
    }
    if (!filter.addressRanges.empty() &&
        std::none_of(filter.addressRanges.begin(), filter.addressRanges.end(), [&e](const auto &range) {
          return e.address >= range.first && e.address <= range.second;
        })) {
      continue;
    }
    AccessName name = machine.accessName(e);
    if (!deviceMatches(name.device, filter.devices) || (filter.fromNs && e.timeNs < *filter.fromNs) ||
        (filter.toNs && e.timeNs > *filter.toNs)) {
      continue;
    }
    std::string code = e.context < record.codeNames.size() ? record.codeNames[e.context] : "";
    out.push_back(NamedTraceEntry{i, &e, std::move(name.device), std::move(name.reg), code});
  }
  return out;
}

std::string traceText(const std::vector<NamedTraceEntry> &entries) {
  std::string out;
  for (const NamedTraceEntry &named : entries) {
    const TraceEntry &e = *named.entry;
    std::string value =
        e.repeat > 1 ? fmt::format("{} .. {} (x{})", hex(e.value), hex(e.lastValue), e.repeat) : hex(e.value);
    std::string where = named.device.empty() ? "" : named.device + " " + named.reg;
    out += fmt::format("{:>6} {:>17}  {:<11} {:>10} {:<26} w{}  {}  IF={}{}\n", named.index, msText(e.timeNs),
                       accessKindName(e.kind), hex(e.address), where, static_cast<unsigned>(e.width), value,
                       e.interruptsEnabled ? 1 : 0, named.code.empty() ? "" : "  [" + named.code + "]");
  }
  return out;
}

std::string traceJsonLines(const std::vector<NamedTraceEntry> &entries) {
  std::string out;
  for (const NamedTraceEntry &named : entries) {
    const TraceEntry &e = *named.entry;
    nlohmann::json line = {
        {"index", named.index},
        {"time_ns", e.timeNs},
        {"kind", accessKindName(e.kind)},
        {"address", hex(e.address)},
        {"width", e.width},
        {"value", hex(e.value)},
        {"last_value", hex(e.lastValue)},
        {"repeat", e.repeat},
        {"interrupts", e.interruptsEnabled},
        {"device", named.device.empty() ? nlohmann::json(nullptr) : nlohmann::json(named.device)},
        {"register", named.reg.empty() ? nlohmann::json(nullptr) : nlohmann::json(named.reg)},
        {"code", named.code.empty() ? nlohmann::json(nullptr) : nlohmann::json(named.code)}};
    out += line.dump() + "\n";
  }
  return out;
}

} // namespace sim
