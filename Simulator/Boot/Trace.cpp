// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Trace.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace sim {

namespace {

std::string hex(uint64_t value) {
  return fmt::format("0x{:X}", value);
}

// Register names of a 16550 by offset: with the divisor latch open, offsets
// 0 and 1 are the divisor; reads and writes of offset 2 reach different
// registers.
std::string uartRegister(unsigned offset, bool dlab, bool write) {
  static const char *const kRead[] = {"RBR", "IER", "IIR", "LCR", "MCR", "LSR", "MSR", "SCR"};
  static const char *const kWrite[] = {"THR", "IER", "FCR", "LCR", "MCR", "LSR", "MSR", "SCR"};
  if (dlab && offset < 2) {
    return offset == 0 ? "DLL" : "DLM";
  }
  return (write ? kWrite : kRead)[offset & 7];
}

struct Namer {
  const BootRecord &record;
  uint8_t lcr[2] = {0, 0};

  std::pair<std::string, std::string> io(uint16_t port, bool write, uint64_t value) {
    for (unsigned i = 0; i < 2; i++) {
      uint16_t base = i == 0 ? 0x3F8 : 0x2F8;
      if (port >= base && port < base + 8) {
        std::string name = uartRegister(port - base, (lcr[i] & 0x80) != 0, write);
        if (write && port == base + 3) {
          lcr[i] = static_cast<uint8_t>(value);
        }
        return {fmt::format("UART {}", hex(base)), name};
      }
    }
    switch (port) {
    case 0x70:
      return {"CMOS", "index"};
    case 0x71:
      return {"CMOS", "data"};
    case 0x4E:
      return {"Super I/O", "index"};
    case 0x4F:
      return {"Super I/O", "data"};
    case 0x408:
      return {"ACPI PM timer", "PM_TMR"};
    case 0xCF8:
      return {"PCI", "CF8"};
    default:
      break;
    }
    if (port >= 0xCFC && port <= 0xCFF) {
      return {"PCI", port == 0xCFC ? "CFC" : fmt::format("CFC+{}", port - 0xCFC)};
    }
    if (port >= 0x80 && port <= 0x83) {
      return {"POST code", port == 0x80 ? "code" : fmt::format("code+{}", port - 0x80)};
    }
    if (port == 0xE0 || port == 0xE1) {
      return {"POST code", "marker"};
    }
    if (port >= 0xE8 && port <= 0xEB) {
      return {"POST code", "dead loop"};
    }
    return {"", ""};
  }

  std::pair<std::string, std::string> mmio(uint64_t address) {
    if (record.spi && address >= record.spi->base && address - record.spi->base < 0x100) {
      switch (address - record.spi->base) {
      case 0x00:
        return {"SPI", "SpiControl"};
      case 0x04:
        return {"SPI", "RestrictedCmd"};
      case 0x08:
        return {"SPI", "RestrictedCmd2"};
      case 0x1D:
        return {"SPI", "0x1D"};
      default:
        return {"SPI", hex(address - record.spi->base)};
      }
    }
    if (address >= 0xFED80000 && address < 0xFED81000) {
      return {"ACPI MMIO", hex(address - 0xFED80000)};
    }
    if (const auto &window = record.s3.window;
        window && address >= window->base && address - window->base < window->size) {
      uint64_t offset = address - window->base;
      return {"PCI window", fmt::format("{:02X}:{:02X}.{:X}+{:03X}", offset >> 20, (offset >> 15) & 0x1F,
                                        (offset >> 12) & 7, offset & 0xFFF)};
    }
    return {"", ""};
  }

  std::pair<std::string, std::string> name(const TraceEntry &e) {
    switch (e.kind) {
    case AccessKind::IoRead:
      return io(static_cast<uint16_t>(e.address), false, e.value);
    case AccessKind::IoWrite:
      return io(static_cast<uint16_t>(e.address), true, e.value);
    case AccessKind::MmioRead:
    case AccessKind::MmioWrite:
      return mmio(e.address);
    case AccessKind::ReadMsr:
      return {"CPU", fmt::format("MSR {}", hex(e.address))};
    case AccessKind::Cpuid:
      return {"CPU", fmt::format("CPUID {}", hex(e.address))};
    case AccessKind::InterruptsOff:
    case AccessKind::InterruptsOn:
      return {"CPU", "IF"};
    case AccessKind::Breakpoint:
      return {"CPU", "int3"};
    case AccessKind::DebugQuery:
      return {"debug environment", "query"};
    case AccessKind::Interrupt:
      return {"CPU", "interrupt"};
    }
    return {"", ""};
  }
};

bool deviceMatches(const std::string &device, const std::vector<std::string> &wanted) {
  if (wanted.empty()) {
    return true;
  }
  auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
  };
  std::string have = lower(device);
  return std::any_of(wanted.begin(), wanted.end(), [&have, &lower](const std::string &w) {
    std::string want = lower(w);
    // "UART" matches both UARTs, "UART 0x3F8" one of them.
    return have == want ||
           (have.rfind(want, 0) == 0 && have.size() > want.size() && have[want.size()] == ' ');
  });
}

} // namespace

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

std::vector<NamedTraceEntry> namedTrace(const std::vector<TraceEntry> &trace, const BootRecord &record,
                                        const TraceFilter &filter) {
  std::vector<NamedTraceEntry> out;
  Namer namer{record};
  for (size_t i = 0; i < trace.size(); i++) {
    const TraceEntry &e = trace[i];
    // Named in order even when filtered out: the UARTs' divisor latch state
    // follows every line-control write.
    auto [device, reg] = namer.name(e);
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
    if (!deviceMatches(device, filter.devices) || (filter.fromNs && e.timeNs < *filter.fromNs) ||
        (filter.toNs && e.timeNs > *filter.toNs)) {
      continue;
    }
    std::string code = e.context < record.codeNames.size() ? record.codeNames[e.context] : "";
    out.push_back(NamedTraceEntry{i, &e, device, reg, code});
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
    out += fmt::format("{:>6} {:>14} ns  {:<11} {:>10} {:<26} w{}  {}  IF={}{}\n", named.index, e.timeNs,
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
