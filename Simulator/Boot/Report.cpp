#include "Report.h"
#include "Diagnostics.h"
#include "S3Report.h"

#include <Guid/DxeServices.h>
#include <Guid/EventGroup.h>
#include <Guid/HobList.h>
#include <Protocol/DxeSmmReadyToLock.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/Pcd.h>
#include <Protocol/PciEnumerationComplete.h>

#include <fmt/format.h>

#include <map>

namespace sim {

namespace {

struct NamedGuid {
  const EFI_GUID *guid;
  const char *name;
};

const NamedGuid kKnownGuids[] = {
    {&gEfiEndOfDxeEventGroupGuid, "End of DXE"},
    {&gEfiEventReadyToBootGuid, "Ready to Boot"},
    {&gEfiEventExitBootServicesGuid, "Exit Boot Services"},
    {&gEfiPciEnumerationCompleteProtocolGuid, "PCI Enumeration Complete"},
    {&gEfiDxeSmmReadyToLockProtocolGuid, "DXE SMM Ready To Lock"},
    {&gEfiLoadedImageProtocolGuid, "Loaded Image"},
    {&gPcdProtocolGuid, "PCD"},
    {&gEfiDxeServicesTableGuid, "DXE Services Table"},
    {&gEfiHobListGuid, "HOB List"},
};

std::string hex(uint64_t value, int digits = 0) {
  return digits == 0 ? fmt::format("0x{:X}", value) : fmt::format("0x{:0{}X}", value, digits);
}

std::string eventTypeName(UINT32 type) {
  switch (type) {
  case EVT_NOTIFY_SIGNAL:
    return "notify-signal";
  case EVT_NOTIFY_WAIT:
    return "notify-wait";
  case EVT_SIGNAL_EXIT_BOOT_SERVICES:
    return "exit-boot-services";
  default:
    return hex(type, 8);
  }
}

std::string eventSubject(const EventInfo &event) {
  if (event.group) {
    return fmt::format("group {}", guidDisplayName(*event.group));
  }
  if (event.notifyProtocol) {
    return fmt::format("protocol notify {}", guidDisplayName(*event.notifyProtocol));
  }
  if (event.type == EVT_SIGNAL_EXIT_BOOT_SERVICES) {
    return "group Exit Boot Services";
  }
  return "no group";
}

const char *gcdTypeName(EFI_GCD_MEMORY_TYPE type) {
  switch (type) {
  case EfiGcdMemoryTypeNonExistent:
    return "non-existent";
  case EfiGcdMemoryTypeReserved:
    return "reserved";
  case EfiGcdMemoryTypeSystemMemory:
    return "system-memory";
  case EfiGcdMemoryTypeMemoryMappedIo:
    return "mmio";
  case EfiGcdMemoryTypePersistent:
    return "persistent";
  case EfiGcdMemoryTypeMoreReliable:
    return "more-reliable";
  default:
    return "?";
  }
}

std::string outcomeText(const BootOutcome &outcome) {
  if (outcome.halt) {
    return fmt::format("halted: {} ({})", haltReasonName(outcome.halt->reason), outcome.halt->detail);
  }
  return outcome.completed ? "completed" : "not run";
}

std::string attributeNames(uint64_t attributes) {
  static const std::pair<uint64_t, const char *> kNames[] = {
      {EFI_MEMORY_UC, "UC"}, {EFI_MEMORY_WC, "WC"},   {EFI_MEMORY_WT, "WT"},
      {EFI_MEMORY_WB, "WB"}, {EFI_MEMORY_UCE, "UCE"}, {EFI_MEMORY_WP, "WP"},
      {EFI_MEMORY_RP, "RP"}, {EFI_MEMORY_XP, "XP"},   {EFI_MEMORY_RUNTIME, "RUNTIME"}};
  std::string out;
  uint64_t rest = attributes;
  for (const auto &[bit, name] : kNames) {
    if ((attributes & bit) != 0) {
      out += out.empty() ? "" : "|";
      out += name;
      rest &= ~bit;
    }
  }
  if (rest != 0) {
    out += fmt::format("{}{}", out.empty() ? "" : "|", hex(rest));
  }
  return out.empty() ? "none" : out;
}

// A range of the final map whose attributes or owner the boot changed.
struct MapEffect {
  GcdRange before;
  GcdRange after;
};

std::vector<MapEffect> mapEffects(Simulation &simulation) {
  std::vector<MapEffect> effects;
  for (const GcdRange &after : simulation.core().gcdMap()) {
    for (const GcdRange &before : simulation.gcdAtStart()) {
      if (after.base >= before.base && after.base - before.base < before.length) {
        if (before.attributes != after.attributes || before.image != after.image ||
            before.type != after.type) {
          effects.push_back(MapEffect{before, after});
        }
        break;
      }
    }
  }
  return effects;
}

const char *const kSpiNames[] = {"SpiControl", "RestrictedCmd", "RestrictedCmd2", "0x1D"};

std::vector<std::pair<uint32_t, uint32_t>> spiPairs(const SpiRegisters &before, const SpiRegisters &after) {
  return {{before.control, after.control},
          {before.restrictedCmd, after.restrictedCmd},
          {before.restrictedCmd2, after.restrictedCmd2},
          {before.reg1D, after.reg1D}};
}

struct SpiAudit {
  bool protect = false, lock = false;
  std::vector<std::pair<uint8_t, bool>> opcodes; // standard flash-writing opcode, restricted
  std::optional<size_t> armedAt, firstPortOffAt;
};

const std::pair<uint8_t, const char *> kWritingOpcodes[] = {
    {0x01, "write status"}, {0x06, "write enable"}, {0x02, "page program"}, {0x20, "sector erase"},
    {0xD8, "block erase"},  {0xC7, "chip erase"},   {0x60, "chip erase"}};

SpiAudit spiAudit(Simulation &simulation) {
  SpiAudit audit;
  const SpiController *spi = simulation.spi();
  if (spi == nullptr) {
    return audit;
  }
  SpiRegisters regs = spi->registers();
  audit.protect = (regs.reg1D & 0x08) != 0;
  audit.lock = (regs.reg1D & 0x20) != 0;
  for (const auto &[opcode, name] : kWritingOpcodes) {
    bool restricted = false;
    for (uint32_t word : {regs.restrictedCmd, regs.restrictedCmd2}) {
      for (unsigned lane = 0; lane < 4; lane++) {
        restricted |= ((word >> (8 * lane)) & 0xFF) == opcode;
      }
    }
    audit.opcodes.emplace_back(opcode, restricted);
  }
  const auto &trace = simulation.machine().trace();
  for (size_t i = 0; i < trace.size(); i++) {
    const TraceEntry &e = trace[i];
    if (e.kind == AccessKind::MmioWrite && e.address == simulation.spiBase() + 0x1D &&
        (e.value & 0x08) != 0) {
      audit.armedAt = i;
      break;
    }
  }
  if (const UsbPortControlModel *usb = simulation.usbPortControl()) {
    for (const PortMaskCall &call : usb->calls()) {
      if ((call.mask & call.value) != 0) {
        audit.firstPortOffAt = call.traceIndex;
        break;
      }
    }
  }
  if (const Mc5744Model *hub = simulation.mc5744()) {
    if (auto at = hub->firstPortOffAt(); at && (!audit.firstPortOffAt || *at < *audit.firstPortOffAt)) {
      audit.firstPortOffAt = at;
    }
  }
  return audit;
}

std::string armedText(const SpiAudit &audit) {
  if (!audit.firstPortOffAt) {
    return audit.armedAt ? "yes (no port was switched off)"
                         : "no port was switched off, protection never armed";
  }
  if (!audit.armedAt) {
    return "NO: a port was switched off and protection was never armed";
  }
  return *audit.armedAt < *audit.firstPortOffAt
             ? fmt::format("yes (trace entry {} before {})", *audit.armedAt, *audit.firstPortOffAt)
             : fmt::format("NO (trace entry {} after {})", *audit.armedAt, *audit.firstPortOffAt);
}

} // namespace

std::string guidDisplayName(const EFI_GUID &guid) {
  for (const NamedGuid &known : kKnownGuids) {
    if (std::memcmp(known.guid, &guid, sizeof(EFI_GUID)) == 0) {
      return known.name;
    }
  }
  return guidToString(guid);
}

std::string textSummary(Simulation &simulation) {
  const BootOutcome &outcome = simulation.outcome();
  DxeCore &core = simulation.core();
  std::string out;
  auto line = [&out](const std::string &text) {
    out += text;
    out += '\n';
  };

  line(fmt::format("== Boot of {} ({})", simulation.board().name, simulation.board().source));
  line(fmt::format("outcome: {}", outcomeText(outcome)));
  if (outcome.entryStatus) {
    line(fmt::format("driver entry: {}", statusName(*outcome.entryStatus)));
  }
  line(fmt::format("virtual time: {:.3f} ms", simulation.machine().nowNs() / 1e6));

  line("-- timeline");
  for (const StepRecord &step : outcome.steps) {
    line(fmt::format("  {:>12.3f} ms  {:<26} {}", step.startNs / 1e6, stepName(step.step), step.note));
  }

  line("-- events of the driver");
  unsigned registered = 0, closed = 0;
  for (const EventInfo &event : core.events()) {
    if (event.owner == "DxeCore") {
      continue;
    }
    registered++;
    closed += event.closed ? 1 : 0;
    line(fmt::format("  {:<20} TPL {:<2} {:<46} notified {}x{}", eventTypeName(event.type), event.notifyTpl,
                     eventSubject(event), event.notifies, event.closed ? ", closed" : ", open"));
  }
  line(fmt::format("  {} registered, {} closed", registered, closed));

  auto effects = mapEffects(simulation);
  line(fmt::format("-- memory map changes: {}", effects.size()));
  for (const MapEffect &effect : effects) {
    std::string owner = simulation.imageName(effect.after.image);
    line(fmt::format("  {} +{}  {}  {} -> {}{}{}", hex(effect.after.base, 8), hex(effect.after.length),
                     gcdTypeName(effect.after.type), attributeNames(effect.before.attributes),
                     attributeNames(effect.after.attributes),
                     (effect.after.attributes & EFI_MEMORY_RUNTIME) != 0 ? "  runtime MMIO" : "",
                     owner.empty() ? "" : "  allocated by " + owner));
  }
  if (const SpiController *spi = simulation.spi()) {
    line(fmt::format("-- SPI controller at {}", hex(simulation.spiBase(), 8)));
    auto pairs = spiPairs(simulation.spiAtReset(), spi->registers());
    for (size_t i = 0; i < pairs.size(); i++) {
      line(fmt::format("  {:<15} {} -> {}{}", kSpiNames[i], hex(pairs[i].first, i == 3 ? 2 : 8),
                       hex(pairs[i].second, i == 3 ? 2 : 8),
                       pairs[i].first == pairs[i].second ? "" : "  changed"));
    }
  } else {
    line("-- SPI controller: none (the SPI base register holds no usable base)");
  }

  if (simulation.spi() != nullptr) {
    SpiAudit audit = spiAudit(simulation);
    line("-- SPI protection audit");
    line(fmt::format("  protect bit: {}   lock bit: {}", audit.protect ? "set" : "clear",
                     audit.lock ? "set" : "clear"));
    std::string opcodes;
    for (size_t i = 0; i < audit.opcodes.size(); i++) {
      opcodes += fmt::format("{}{} {} {}", i == 0 ? "" : ", ", hex(audit.opcodes[i].first, 2),
                             kWritingOpcodes[i].second, audit.opcodes[i].second ? "restricted" : "open");
    }
    line("  opcodes: " + opcodes);
    line("  armed before the first port was switched off: " + armedText(audit));
  }
  if (const UsbPortControlModel *usb = simulation.usbPortControl()) {
    line(fmt::format("-- USB port control: {} SetPortMask calls, groups switched off {}", usb->calls().size(),
                     hex(usb->switchedOff())));
    for (const PortMaskCall &call : usb->calls()) {
      line(fmt::format("  SetPortMask ({}, mask {}, value {})", call.controller, hex(call.mask),
                       hex(call.value)));
    }
  } else {
    line("-- USB port control: not installed");
  }
  if (const Mc5744Model *hub = simulation.mc5744()) {
    auto enables = hub->applied();
    line(fmt::format("-- MC5744 hub: {} calls, enables applied {} {} {} {}", hub->calls().size(), enables[0],
                     enables[1], enables[2], enables[3]));
  } else {
    line("-- MC5744 hub: not installed");
  }
  for (const auto &[number, die] : simulation.dies()) {
    uint32_t disable = die->indirect(DieRoot::kSataPortDisable);
    std::string ports;
    for (unsigned port = 0; port < 8; port++) {
      if ((disable & (0x10000u << port)) != 0) {
        ports += fmt::format(" {}", port);
      }
    }
    line(fmt::format("-- die {}: SATA port-disable register {}, AHCI ports disabled:{}", number,
                     hex(disable, 8), ports.empty() ? " none" : ports));
  }
  if (const NvramAttributeModel *nvram = simulation.nvram()) {
    line(fmt::format("-- NVRAM attribute reads: {}", nvram->reads().size()));
    for (const AttributeRead &read : nvram->reads()) {
      line(fmt::format("  {:<20} {}{}", std::string(read.name.begin(), read.name.end()),
                       statusName(read.status),
                       read.problem.empty() ? "" : "  CALLER ERROR: " + read.problem));
    }
  }

  out += s3TextSummary(simulation);

  out += consoleSummaryText(simulation);

  auto assertions = simulation.assertions();
  line(fmt::format("-- assertions: {}", assertions.size()));
  for (const AssertionRecord &assertion : assertions) {
    line(fmt::format("  {}({}): {}", assertion.file, assertion.line, assertion.expression));
  }
  line(fmt::format("-- breakpoints: {}", simulation.machine().breakpointCount()));

  const auto &stops = simulation.postCodes().fatalStops();
  line(fmt::format("-- fatal stops: {}", stops.size()));
  for (const auto &stop : stops) {
    line(fmt::format("  code {}  {}", hex(stop.code, 8),
                     stop.halted ? "display cycled, machine halted" : "released by the debug environment"));
    std::string windows;
    for (uint32_t window : stop.windows) {
      windows += fmt::format(" {:08X}", window);
    }
    if (!windows.empty()) {
      line("  windows:" + windows);
    }
  }

  auto pool = core.poolInUse();
  size_t bytes = 0;
  for (const PoolBlock &block : pool) {
    bytes += block.size;
  }
  line(fmt::format("-- pool in use: {} blocks, {} bytes", pool.size(), bytes));
  for (const PoolBlock &block : pool) {
    line(fmt::format("  {} bytes, type {}, owner {}", block.size, static_cast<int>(block.type), block.owner));
  }

  if (!core.pcdWrites().empty()) {
    line("-- PCD writes");
    for (const PcdWrite &write : core.pcdWrites()) {
      line(fmt::format("  token {} ({} bytes) = {}  [{}] by {}", write.token, write.size,
                       pcdValueText(simulation, write.value), statusName(write.status), write.owner));
    }
  }
  auto injected = core.failures().injected();
  if (!injected.empty()) {
    line("-- injected failures");
    for (const std::string &text : injected) {
      line("  " + text);
    }
  }
  if (!core.diagnostics().empty()) {
    line("-- platform diagnostics");
    for (const std::string &text : core.diagnostics()) {
      line("  " + text);
    }
  }
  return out;
}

nlohmann::json jsonReport(Simulation &simulation) {
  using nlohmann::json;
  const BootOutcome &outcome = simulation.outcome();
  DxeCore &core = simulation.core();
  json report;
  report["board"] = {{"name", simulation.board().name}, {"source", simulation.board().source}};
  report["outcome"] = {{"completed", outcome.completed}, {"text", outcomeText(outcome)}};
  if (outcome.halt) {
    report["outcome"]["halt"] = {{"reason", haltReasonName(outcome.halt->reason)},
                                 {"detail", outcome.halt->detail}};
  }
  report["entry_status"] = outcome.entryStatus ? json(statusName(*outcome.entryStatus)) : json(nullptr);
  report["virtual_time_ns"] = simulation.machine().nowNs();
  report["console"] = consoleSummaryJson(simulation);

  json steps = json::array();
  for (const StepRecord &step : outcome.steps) {
    steps.push_back({{"step", stepName(step.step)}, {"start_ns", step.startNs}, {"note", step.note}});
  }
  report["timeline"] = steps;

  json events = json::array();
  for (const EventInfo &event : core.events()) {
    if (event.owner == "DxeCore") {
      continue;
    }
    events.push_back({{"type", eventTypeName(event.type)},
                      {"notify_tpl", event.notifyTpl},
                      {"subject", eventSubject(event)},
                      {"owner", event.owner},
                      {"signals", event.signals},
                      {"notifies", event.notifies},
                      {"closed", event.closed}});
  }
  report["events"] = events;

  json assertions = json::array();
  for (const AssertionRecord &assertion : simulation.assertions()) {
    assertions.push_back(
        {{"file", assertion.file}, {"line", assertion.line}, {"expression", assertion.expression}});
  }
  report["assertions"] = assertions;
  report["breakpoints"] = simulation.machine().breakpointCount();

  json stops = json::array();
  for (const auto &stop : simulation.postCodes().fatalStops()) {
    stops.push_back({{"code", hex(stop.code, 8)}, {"windows", stop.windows}, {"halted", stop.halted}});
  }
  report["fatal_stops"] = stops;

  json postCodes = json::array();
  for (const auto &write : simulation.postCodes().history()) {
    postCodes.push_back({{"port", hex(write.port, 2)},
                         {"width", write.width},
                         {"value", hex(write.value)},
                         {"time_ns", write.timeNs}});
  }
  report["post_codes"] = postCodes;

  json pool = json::array();
  for (const PoolBlock &block : core.poolInUse()) {
    pool.push_back({{"size", block.size}, {"type", static_cast<int>(block.type)}, {"owner", block.owner}});
  }
  report["pool_in_use"] = pool;

  json pcd = json::array();
  for (const PcdWrite &write : core.pcdWrites()) {
    pcd.push_back({{"token", write.token},
                   {"size", write.size},
                   {"value", pcdValueText(simulation, write.value)},
                   {"status", statusName(write.status)},
                   {"owner", write.owner}});
  }
  report["pcd_writes"] = pcd;

  json gcd = json::array();
  for (const GcdRange &range : core.gcdMap()) {
    gcd.push_back({{"base", hex(range.base)},
                   {"length", hex(range.length)},
                   {"type", gcdTypeName(range.type)},
                   {"capabilities", hex(range.capabilities)},
                   {"attributes", hex(range.attributes)},
                   {"allocated", range.image != nullptr}});
  }
  report["gcd"] = gcd;
  json effects = json::array();
  for (const MapEffect &effect : mapEffects(simulation)) {
    effects.push_back({{"base", hex(effect.after.base)},
                       {"length", hex(effect.after.length)},
                       {"type", gcdTypeName(effect.after.type)},
                       {"attributes_before", attributeNames(effect.before.attributes)},
                       {"attributes_after", attributeNames(effect.after.attributes)},
                       {"runtime", (effect.after.attributes & EFI_MEMORY_RUNTIME) != 0},
                       {"owner", simulation.imageName(effect.after.image)}});
  }
  report["memory_map_changes"] = effects;
  if (const SpiController *spi = simulation.spi()) {
    json registers = json::object();
    auto pairs = spiPairs(simulation.spiAtReset(), spi->registers());
    for (size_t i = 0; i < pairs.size(); i++) {
      registers[kSpiNames[i]] = {{"before", hex(pairs[i].first)}, {"after", hex(pairs[i].second)}};
    }
    report["spi"] = {{"base", hex(simulation.spiBase())}, {"registers", registers}};
  } else {
    report["spi"] = nullptr;
  }
  if (simulation.spi() != nullptr) {
    SpiAudit audit = spiAudit(simulation);
    json opcodes = json::object();
    for (const auto &[opcode, restricted] : audit.opcodes) {
      opcodes[hex(opcode, 2)] = restricted;
    }
    report["spi_audit"] = {{"protect", audit.protect},
                           {"lock", audit.lock},
                           {"restricted_opcodes", opcodes},
                           {"armed_before_first_port_off", armedText(audit)}};
  }
  if (const UsbPortControlModel *usb = simulation.usbPortControl()) {
    json calls = json::array();
    for (const PortMaskCall &call : usb->calls()) {
      calls.push_back(
          {{"controller", call.controller}, {"mask", hex(call.mask)}, {"value", hex(call.value)}});
    }
    report["usb_port_control"] = {{"calls", calls}, {"switched_off", hex(usb->switchedOff())}};
  }
  if (const Mc5744Model *hub = simulation.mc5744()) {
    json calls = json::array();
    for (const HubCall &call : hub->calls()) {
      calls.push_back({{"call", call.kind == HubCall::Kind::ApplyConfig ? "ApplyConfig" : "SetPortEnables"},
                       {"enables", call.enables},
                       {"argument", call.argument}});
    }
    report["mc5744"] = {{"calls", calls}, {"applied", hub->applied()}};
  }
  if (const NvramAttributeModel *nvram = simulation.nvram()) {
    json reads = json::array();
    for (const AttributeRead &read : nvram->reads()) {
      reads.push_back({{"name", std::string(read.name.begin(), read.name.end())},
                       {"status", statusName(read.status)},
                       {"caller_error", read.problem}});
    }
    report["nvram_reads"] = reads;
  }
  json dies = json::array();
  for (const auto &[number, die] : simulation.dies()) {
    uint32_t disable = die->indirect(DieRoot::kSataPortDisable);
    json ports = json::array();
    for (unsigned port = 0; port < 8; port++) {
      if ((disable & (0x10000u << port)) != 0) {
        ports.push_back(port);
      }
    }
    dies.push_back({{"die", number}, {"sata_port_disable", hex(disable, 8)}, {"disabled_ahci_ports", ports}});
  }
  report["dies"] = dies;
  report["s3"] = s3JsonReport(simulation);
  report["injected_failures"] = core.failures().injected();
  report["diagnostics"] = core.diagnostics();
  return report;
}

std::string textTrace(const Machine &machine) {
  std::string out;
  for (const TraceEntry &entry : machine.trace()) {
    std::string value =
        entry.repeat > 1 ? fmt::format("{} .. {} (x{})", hex(entry.value), hex(entry.lastValue), entry.repeat)
                         : hex(entry.value);
    out += fmt::format("{:>14} ns  {:<11} {:>10} w{}  {}  IF={}\n", entry.timeNs, accessKindName(entry.kind),
                       hex(entry.address), static_cast<unsigned>(entry.width), value,
                       entry.interruptsEnabled ? 1 : 0);
  }
  return out;
}

} // namespace sim
