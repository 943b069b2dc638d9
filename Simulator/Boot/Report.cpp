// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Report.h"
#include "S3Report.h"
#include "Boot.h"
#include "Host/TimeText.h"

#include <Guid/DxeServices.h>
#include <Guid/EventGroup.h>
#include <Guid/HobList.h>
#include <PlatformProtocols.h>
#include <Protocol/DebugPrintSvc.h>
#include <Protocol/DxeSmmReadyToLock.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/Pcd.h>
#include <Protocol/PciEnumerationComplete.h>
#include <Protocol/SmmCommunication.h>

#include <fmt/format.h>

#include <cstring>

namespace sim {

namespace {

using nlohmann::json;

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
    {&gEfiSmmCommunicationProtocolGuid, "SMM Communication"},
    {&gOrvexNvramAttributeProtocolGuid, "NVRAM Attribute"},
    {&gVroPlatformIdProtocolGuid, "Platform Identity"},
    {&gVroSataProtocolGuid, "SATA"},
    {&gUsbPortControlProtocolGuid, "USB Port Control"},
    {&gMc5744ProtocolGuid, "MC5744"},
    {&gDebugPrintSvcProtocolGuid, "Debug Print Service"},
};

std::string hex(uint64_t value) {
  return fmt::format("0x{:X}", value);
}

std::string padded(uint64_t value, int digits) {
  return fmt::format("0x{:0{}X}", value, digits);
}

json optionalGuid(const std::optional<EFI_GUID> &guid) {
  return guid ? json(guidDisplayName(*guid)) : json(nullptr);
}

std::string outcomeText(const BootRecord &r) {
  if (r.haltReason) {
    return fmt::format("halted: {} ({})", haltReasonName(*r.haltReason), r.haltDetail.value_or(""));
  }
  return r.completed ? "completed" : "not run";
}

const char *opcodeName(uint8_t opcode) {
  switch (opcode) {
  case 0x01:
    return "write status";
  case 0x06:
    return "write enable";
  case 0x02:
    return "page program";
  case 0x20:
    return "sector erase";
  case 0xD8:
    return "block erase";
  case 0xC7:
  case 0x60:
    return "chip erase";
  default:
    return "opcode";
  }
}

std::vector<unsigned> disabledPorts(const DieRecord &die) {
  std::vector<unsigned> ports;
  for (unsigned port = 0; port < 8; port++) {
    if ((die.portDisable & (0x10000u << port)) != 0) {
      ports.push_back(port);
    }
  }
  return ports;
}

std::string injectedText(const FailureHitRecord &hit);

const char *const kSpiNames[] = {"SpiControl", "RestrictedCmd", "RestrictedCmd2", "0x1D"};

std::vector<std::pair<uint32_t, uint32_t>> spiPairs(const SpiRecord &spi) {
  return {{spi.before.control, spi.after.control},
          {spi.before.restrictedCmd, spi.after.restrictedCmd},
          {spi.before.restrictedCmd2, spi.after.restrictedCmd2},
          {spi.before.reg1D, spi.after.reg1D}};
}

} // namespace

std::string portOffPlace(const SpiRecord &spi) {
  if (spi.firstPortOffCall) {
    return fmt::format("{} at call {}", portOffByName(*spi.firstPortOffBy), *spi.firstPortOffCall + 1);
  }
  return spi.firstPortOffAt
             ? fmt::format("{} at trace entry {}", portOffByName(*spi.firstPortOffBy), *spi.firstPortOffAt)
             : std::string("no port switched off");
}

namespace {

std::string armedText(const SpiRecord &spi) {
  if (!spi.firstPortOffAt) {
    return spi.armedAt ? "yes (no port was switched off)"
                       : "no port was switched off, protection never armed";
  }
  if (!spi.armedAt) {
    return "NO: a port was switched off and protection was never armed";
  }
  return fmt::format("{} (protect bit at trace entry {}, {} {})",
                     *spi.armedAt < *spi.firstPortOffAt ? "yes" : "NO", *spi.armedAt,
                     *spi.armedAt < *spi.firstPortOffAt ? "before" : "after", portOffPlace(spi));
}

std::string settingsText(const UartRecord &uart) {
  std::string out;
  for (const SentRun &run : uart.runs) {
    std::string text = run.settings.text();
    out += out.empty() ? text : " then " + text;
  }
  return out.empty() ? "nothing sent" : out;
}

std::string ms(uint64_t ns) {
  return msText(ns);
}

// A log as one quoted line, control characters escaped.
std::string quoted(const std::string &bytes) {
  std::string out = "\"";
  for (char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      out += fmt::format("\\x{:02X}", static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string consoleText(const ConsoleRecord &summary) {
  std::string out = "-- console: UART 0x3F8 mirrored to UART 0x2F8\n";
  for (const UartRecord &uart : summary.uarts) {
    if (!uart.present) {
      out += fmt::format("  UART 0x{:X}: not present\n", uart.base);
      continue;
    }
    std::string sent = uart.bytes.empty()
                           ? "nothing sent"
                           : fmt::format("{} bytes sent at {}", uart.bytes.size(), settingsText(uart));
    out += fmt::format("  UART 0x{:X}: {}{}{}\n", uart.base, sent,
                       uart.pending != 0 ? fmt::format(", {} never sent", uart.pending) : "",
                       uart.lost != 0 ? fmt::format(", {} lost in a full FIFO", uart.lost) : "");
  }
  out += fmt::format("  logs byte-identical: {}; same line settings: {}\n",
                     summary.identical ? "yes"
                                       : fmt::format("NO (first difference at byte {})",
                                                     summary.firstDifference.value_or(0)),
                     summary.sameSettings ? "yes" : "NO");
  if (!summary.identical) {
    for (const UartRecord &uart : summary.uarts) {
      out += fmt::format("  log of UART 0x{:X}: {}\n", uart.base, quoted(uart.bytes));
    }
  }
  const UartRecord &slower =
      summary.uarts[0].lineNs >= summary.uarts[1].lineNs ? summary.uarts[0] : summary.uarts[1];
  std::string bound = fmt::format("{} characters on UART 0x{:X} at {}", slower.bytes.size(), slower.base,
                                  settingsText(slower));
  if (slower.runs.size() == 1) {
    const LineSettings &settings = slower.runs[0].settings;
    bound = fmt::format("{} characters x {:g} bits / {} baud", slower.bytes.size(),
                        settings.halfBitsPerCharacter() / 2.0, settings.baud());
  }
  out += fmt::format("  line-rate bound: {} = {}\n", bound, ms(summary.lineRateBoundNs));
  out += fmt::format(
      "  console time: {} in {} UART register accesses{}\n", ms(summary.consoleNs), summary.accesses,
      summary.lineRateBoundNs == 0
          ? ""
          : fmt::format(" ({:.1f}% of the bound)", 100.0 * summary.consoleNs / summary.lineRateBoundNs));
  return out;
}

json consoleJson(const ConsoleRecord &summary) {
  json out;
  out["uart0"] = summary.uarts[0].bytes;
  out["uart1"] = summary.uarts[1].bytes;
  json list = json::array();
  for (const UartRecord &uart : summary.uarts) {
    json runs = json::array();
    for (const SentRun &run : uart.runs) {
      runs.push_back({{"settings", run.settings.text()},
                      {"divisor", hex(run.settings.divisor)},
                      {"lcr", hex(run.settings.lcr)},
                      {"first", run.first},
                      {"count", run.count},
                      {"start_ns", run.startNs},
                      {"end_ns", run.endNs}});
    }
    list.push_back({{"base", hex(uart.base)},
                    {"present", uart.present},
                    {"sent", uart.bytes.size()},
                    {"written", uart.written.size()},
                    {"never_sent", uart.pending},
                    {"lost", uart.lost},
                    {"runs", runs},
                    {"line_ns", uart.lineNs},
                    {"accesses", uart.accesses},
                    {"access_ns", uart.accessNs}});
  }
  out["uarts"] = list;
  out["identical"] = summary.identical;
  out["first_difference"] = summary.firstDifference ? json(*summary.firstDifference) : json(nullptr);
  out["same_settings"] = summary.sameSettings;
  out["line_rate_bound_ns"] = summary.lineRateBoundNs;
  out["console_ns"] = summary.consoleNs;
  return out;
}

json policyJson(const PolicyOutcome &policy) {
  json calls = json::array();
  for (const auto &[mask, value] : policy.portMaskCalls) {
    calls.push_back({{"mask", hex(mask)}, {"value", hex(value)}});
  }
  json pcd = json::array();
  for (const auto &[token, value] : policy.pcd) {
    pcd.push_back({{"token", token}, {"value", hex(value)}});
  }
  json dies = json::array();
  for (const auto &[die, values] : policy.dieWrites) {
    json writes = json::array();
    for (uint32_t value : values) {
      writes.push_back(hex(value));
    }
    dies.push_back({{"die", die}, {"writes", writes}});
  }
  return {{"port_mask_calls", calls},
          {"hub_enables", policy.hubEnables ? json(*policy.hubEnables) : json(nullptr)},
          {"hub_locations", policy.hubLocations ? json(hex(*policy.hubLocations)) : json(nullptr)},
          {"pcd", pcd},
          {"die_writes", dies}};
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

namespace {

constexpr std::string_view kAttributeRead = "OrvexNvramAttribute.GetAttribute";

std::string valueBytes(const std::vector<uint8_t> &bytes) {
  constexpr size_t kShown = 16;
  std::string out = fmt::format("{} byte{}", bytes.size(), bytes.size() == 1 ? "" : "s");
  for (size_t i = 0; i < bytes.size() && i < kShown; i++) {
    out += fmt::format(" {:02X}", bytes[i]);
  }
  return bytes.size() > kShown ? out + " ..." : out;
}

} // namespace

std::string lookupSubject(const BootRecord &r, const LookupRecord &lookup) {
  const CallRecord &call = r.calls[lookup.call];
  std::string guid = call.guid ? guidToString(*call.guid) : std::string("no GUID");
  if (call.service == "LocateProtocol" || call.service == "HandleProtocol") {
    std::string name = call.guid ? guidDisplayName(*call.guid) : guid;
    return name == guid ? "protocol " + guid : fmt::format("protocol {} {{{}}}", name, guid);
  }
  if (call.service == "GetVariable") {
    return fmt::format("variable {} {{{}}}", lookup.name, guid);
  }
  if (call.service == kAttributeRead) {
    return "attribute " + lookup.name;
  }
  if (lookup.key) {
    return fmt::format("platform state {}", *lookup.key);
  }
  return "identity record";
}

std::string lookupAnswer(const BootRecord &r, const LookupRecord &lookup) {
  const CallRecord &call = r.calls[lookup.call];
  std::string out = statusName(lookup.status);
  if (call.injected) {
    out += " (injected)";
  }
  if (lookup.status != EFI_SUCCESS && !lookup.key) {
    return out;
  }
  if (call.service == "GetVariable") {
    return out + ": " + valueBytes(lookup.value);
  }
  if (call.service == kAttributeRead) {
    return out + ": \"" + std::string(lookup.value.begin(), lookup.value.end()) + "\"";
  }
  if (lookup.key) {
    return out + ": " + (lookup.value.empty() ? std::string("no answer") : hex(lookup.value[0]));
  }
  if (call.service == "VroPlatformId.GetIdPtr") {
    return lookup.value.size() == 2
               ? fmt::format("{}: System ID {}", out, lookup.value[0] | lookup.value[1] << 8)
               : out + ": no record";
  }
  return out;
}

std::string nearMissText(const NearMissRecord &miss) {
  std::string out;
  switch (miss.kind) {
  case NearMissKind::Attribute:
    out = fmt::format("attribute {}: never read", miss.name);
    break;
  case NearMissKind::Variable:
    out = fmt::format("variable {} {{{}}}: never read", miss.name, guidToString(*miss.guid));
    break;
  case NearMissKind::Protocol:
    out = fmt::format("protocol {}: installed, never asked for", guidDisplayName(*miss.guid));
    break;
  case NearMissKind::Value:
    out = fmt::format("attribute {} = \"{}\": not a value the driver acts on", miss.name, miss.value);
    break;
  }
  if (miss.closest) {
    out += miss.kind == NearMissKind::Value ? fmt::format("; did you mean \"{}\"?", *miss.closest)
                                            : fmt::format("; did you mean {}?", *miss.closest);
  }
  return out;
}

nlohmann::json callsJson(const BootRecord &r) {
  json calls = json::array();
  for (size_t i = 0; i < r.calls.size(); i++) {
    const CallRecord &call = r.calls[i];
    json entry = {
        {"call", i + 1}, {"service", call.service}, {"image", call.image}, {"function", call.function}};
    if (call.guid) {
      entry["guid"] = guidDisplayName(*call.guid);
    }
    if (call.injected) {
      entry["injected"] = statusName(*call.injected);
    }
    calls.push_back(entry);
  }
  return calls;
}

std::vector<std::pair<EFI_GUID, std::string_view>> knownGuids() {
  std::vector<std::pair<EFI_GUID, std::string_view>> out;
  for (const NamedGuid &known : kKnownGuids) {
    out.emplace_back(*known.guid, known.name);
  }
  return out;
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

std::string memoryTypeName(EFI_MEMORY_TYPE type) {
  static const char *const kNames[] = {"EfiReservedMemoryType",
                                       "EfiLoaderCode",
                                       "EfiLoaderData",
                                       "EfiBootServicesCode",
                                       "EfiBootServicesData",
                                       "EfiRuntimeServicesCode",
                                       "EfiRuntimeServicesData",
                                       "EfiConventionalMemory",
                                       "EfiUnusableMemory",
                                       "EfiACPIReclaimMemory",
                                       "EfiACPIMemoryNVS",
                                       "EfiMemoryMappedIO",
                                       "EfiMemoryMappedIOPortSpace",
                                       "EfiPalCode",
                                       "EfiPersistentMemory"};
  auto index = static_cast<size_t>(type);
  return index < std::size(kNames) ? kNames[index] : fmt::format("0x{:X}", index);
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
  case EfiGcdMemoryTypeUnaccepted:
    return "unaccepted";
  default:
    return "other";
  }
}

std::string eventTypeName(const RecordedEvent &event) {
  switch (event.kind) {
  case EventKind::NotifySignal:
    return "notify-signal";
  case EventKind::NotifyWait:
    return "notify-wait";
  case EventKind::ExitBootServices:
    return "exit-boot-services";
  case EventKind::Other:
    break;
  }
  return fmt::format("0x{:08X}", event.type);
}

std::string eventSubject(const RecordedEvent &event) {
  if (event.group) {
    return "group " + guidDisplayName(*event.group);
  }
  if (event.notifyProtocol) {
    return "protocol notify " + guidDisplayName(*event.notifyProtocol);
  }
  return event.kind == EventKind::ExitBootServices ? "group Exit Boot Services" : "no group";
}

const char *s3LibraryStateName(S3LibraryState state) {
  switch (state) {
  case S3LibraryState::NoPrivateData:
    return "no-private-data";
  case S3LibraryState::PrivateDataNotPool:
    return "private-data-not-pool";
  case S3LibraryState::BeforeReadyToLock:
    return "before-ready-to-lock";
  case S3LibraryState::Recording:
    return "recording";
  case S3LibraryState::Closed:
    return "closed";
  }
  return "?";
}

std::string poolRefName(const PoolRef &ref) {
  return fmt::format("pool[{}]+0x{:X}", ref.index, ref.offset);
}

const char *portOffByName(PortOffBy by) {
  switch (by) {
  case PortOffBy::SetPortMask:
    return "SetPortMask";
  case PortOffBy::HubApplyConfig:
    return "MC5744 ApplyConfig";
  case PortOffBy::SataPortDisable:
    return "SATA port-disable write";
  }
  return "?";
}

std::string haltText(const BootRecord &r) {
  return r.haltReason ? haltReasonName(*r.haltReason) : "";
}

std::string outcomeLine(const BootRecord &r) {
  size_t counts[4] = {0, 0, 0, 0};
  for (const CheckResult &check : r.checks) {
    counts[static_cast<size_t>(check.verdict)]++;
  }
  return fmt::format(
      "outcome: {}; checks: {} passed, {} failed, {} warnings, {} not applicable; {} unexpected",
      outcomeText(r), counts[0], counts[1], counts[2], counts[3], r.unexpectedFailures());
}

std::string textChecks(const BootRecord &r) {
  std::string out = "-- checks\n";
  for (const CheckResult &check : r.checks) {
    std::string verdict = check.verdict == Verdict::Pass   ? "PASSED"
                          : check.verdict == Verdict::Fail ? "FAILED"
                          : check.verdict == Verdict::Warn ? "WARNING"
                                                           : "N/A";
    std::string expected;
    if (check.expected) {
      std::string stated(verdictName(check.expected->verdict));
      if (check.expected->count) {
        stated += fmt::format(" with a count of {}", *check.expected->count);
      }
      std::string why = check.expected->reason.empty() ? "" : ": " + check.expected->reason;
      expected = check.asExpected()
                     ? fmt::format("  (expected{})", why)
                     : fmt::format("  (UNEXPECTED: the board expects {}{}{})", stated, why,
                                   check.count ? fmt::format("; counted {}", *check.count) : "");
    }
    out += fmt::format("  {:<8} {:<24} {}{}\n", verdict, check.name, check.reason, expected);
    if (check.verdict == Verdict::Fail || check.verdict == Verdict::Warn) {
      for (const std::string &evidence : check.evidence) {
        out += "           " + evidence + "\n";
      }
    }
  }
  return out;
}

std::string textSummary(const BootRecord &r) {
  std::string out;
  auto line = [&out](const std::string &text) {
    out += text;
    out += '\n';
  };

  line(fmt::format("== Boot of {} ({})", r.boardName, r.boardSource));
  line(fmt::format("outcome: {}", outcomeText(r)));
  if (r.entryStatus) {
    line(fmt::format("driver entry: {}", statusName(*r.entryStatus)));
  }
  line(fmt::format("virtual time: {}", ms(r.virtualTimeNs)));

  line("-- timeline");
  for (const RecordedStep &step : r.timeline) {
    line(fmt::format("  {:>15}  {:<26} {}", msText(step.startNs), stepName(step.step), step.note));
  }

  line("-- events of the driver");
  unsigned closed = 0;
  for (const RecordedEvent &event : r.events) {
    closed += event.closed ? 1 : 0;
    line(fmt::format("  {:<20} {:<13} {:<46} notified {}x{}{}", eventTypeName(event), tplName(event.tpl),
                     eventSubject(event), event.notifies, event.closed ? ", closed" : ", open",
                     event.notifyFunction.empty() ? "" : "  " + event.notifyFunction));
  }
  line(fmt::format("  {} registered, {} closed", r.events.size(), closed));

  line(fmt::format("-- memory map changes: {}", r.mapChanges.size()));
  for (const MapChange &change : r.mapChanges) {
    line(fmt::format("  {} +{}  {}  {} -> {}{}{}", padded(change.base, 8), hex(change.length),
                     gcdTypeName(change.type), attributeNames(change.attributesBefore),
                     attributeNames(change.attributesAfter),
                     (change.attributesAfter & EFI_MEMORY_RUNTIME) != 0 ? "  runtime MMIO" : "",
                     change.owner.empty() ? "" : "  allocated by " + change.owner));
  }
  if (r.spi) {
    line(fmt::format("-- SPI controller at {}", padded(r.spi->base, 8)));
    auto pairs = spiPairs(*r.spi);
    for (size_t i = 0; i < pairs.size(); i++) {
      line(fmt::format("  {:<15} {} -> {}{}", kSpiNames[i], padded(pairs[i].first, i == 3 ? 2 : 8),
                       padded(pairs[i].second, i == 3 ? 2 : 8),
                       pairs[i].first == pairs[i].second ? "" : "  changed"));
    }
    line("-- SPI protection audit");
    line(fmt::format("  protect bit: {}   lock bit: {}", r.spi->protect ? "set" : "clear",
                     r.spi->lock ? "set" : "clear"));
    std::string opcodes;
    for (const SpiOpcode &opcode : r.spi->opcodes) {
      opcodes += fmt::format("{}{} {} {}", opcodes.empty() ? "" : ", ", padded(opcode.opcode, 2),
                             opcodeName(opcode.opcode), opcode.restricted ? "restricted" : "open");
    }
    line("  opcodes: " + opcodes);
    line("  armed before the first port was switched off: " + armedText(*r.spi));
  } else {
    line("-- SPI controller: none (the SPI base register holds no usable base)");
  }
  if (r.usbPortControlInstalled) {
    line(fmt::format("-- USB port control: {} SetPortMask calls, groups switched off {}",
                     r.portMaskCalls.size(), hex(r.portGroupsOff)));
    for (const PortMaskCall &call : r.portMaskCalls) {
      line(fmt::format("  SetPortMask ({}, mask {}, value {})", call.controller, hex(call.mask),
                       hex(call.value)));
    }
  } else {
    line("-- USB port control: not installed");
  }
  if (r.mc5744Installed) {
    line(fmt::format("-- MC5744 hub: {} calls, enables applied {} {} {} {}", r.hubCalls.size(),
                     r.hubEnables[0], r.hubEnables[1], r.hubEnables[2], r.hubEnables[3]));
  } else {
    line("-- MC5744 hub: not installed");
  }
  for (const DieRecord &die : r.dies) {
    std::string ports;
    for (unsigned port : disabledPorts(die)) {
      ports += fmt::format(" {}", port);
    }
    line(fmt::format("-- die {}: SATA port-disable register {}, AHCI ports disabled:{}", die.die,
                     padded(die.portDisable, 8), ports.empty() ? " none" : ports));
  }
  // Attribute reads are the NVRAM model's reads, in the same order: the
  // model knows when a caller broke the rules.
  line(fmt::format("-- lookups: {} (call numbers are the images' service calls, from 1)", r.lookups.size()));
  size_t attributeRead = 0;
  for (const LookupRecord &lookup : r.lookups) {
    const CallRecord &call = r.calls[lookup.call];
    std::string callerError;
    if (call.service == kAttributeRead && attributeRead < r.nvramReads.size() &&
        !r.nvramReads[attributeRead++].callerError.empty()) {
      callerError = "  CALLER ERROR: " + r.nvramReads[attributeRead - 1].callerError;
    }
    line(fmt::format("  call {:<4} {:<34} {:<44} {}{}", lookup.call + 1, call.image + " " + call.function,
                     lookupSubject(r, lookup), lookupAnswer(r, lookup), callerError));
  }
  if (!r.nearMisses.empty()) {
    line(fmt::format("-- board entries no image asked for: {}", r.nearMisses.size()));
    for (const NearMissRecord &miss : r.nearMisses) {
      line("  " + nearMissText(miss));
    }
  }

  out += s3TextSummary(r.s3);
  out += consoleText(r.console);

  line(fmt::format("-- assertions: {}", r.assertions.size()));
  for (const AssertionRecord &a : r.assertions) {
    line(a.reportWritten ? fmt::format("  {}({}): {}  [{}]", a.file, a.line, a.expression, a.code)
                         : fmt::format("  breakpoint {} with no report written  [{}]", a.breakpoint, a.code));
  }
  line(fmt::format("-- breakpoints: {}", r.breakpoints));

  line(fmt::format("-- fatal stops: {}", r.fatalStops.size()));
  for (const FatalStopRecord &stop : r.fatalStops) {
    line(fmt::format("  code {}  {}", padded(stop.code, 8),
                     stop.halted ? "display cycled, machine halted" : "released by the debug environment"));
    std::string windows;
    for (uint32_t window : stop.windows) {
      windows += fmt::format(" {:08X}", window);
    }
    if (!windows.empty()) {
      line("  windows:" + windows);
    }
  }

  size_t bytes = 0;
  for (const PoolRecord &block : r.pool) {
    bytes += block.size;
  }
  line(fmt::format("-- pool in use: {} blocks, {} bytes", r.pool.size(), bytes));
  for (const PoolRecord &block : r.pool) {
    line(fmt::format("  pool[{}]: {} bytes, {}, owner {}", block.index, block.size,
                     memoryTypeName(block.type), block.owner));
  }

  if (!r.pcdWrites.empty()) {
    line("-- PCD writes");
    for (const PcdWriteRecord &write : r.pcdWrites) {
      line(fmt::format("  token {} ({} bytes) = {}  [{}] by {}", write.token, write.size,
                       write.pointsTo ? poolRefName(*write.pointsTo) : hex(write.value),
                       statusName(write.status), write.owner));
    }
  }
  if (!r.injected.empty()) {
    line("-- injected failures");
    for (const FailureHitRecord &hit : r.injected) {
      line("  " + injectedText(hit));
    }
  }
  if (!r.diagnostics.empty()) {
    line("-- platform diagnostics");
    for (const std::string &text : r.diagnostics) {
      line("  " + text);
    }
  }
  out += textChecks(r);
  line(outcomeLine(r));
  return out;
}

json jsonReport(const BootRecord &r) {
  json report;
  report["format"] = kReportFormat;
  report["board"] = {{"name", r.boardName}, {"source", r.boardSource}};
  report["outcome"] = {
      {"completed", r.completed},
      {"halt", r.haltReason ? json({{"reason", haltReasonName(*r.haltReason)}, {"detail", *r.haltDetail}})
                            : json(nullptr)}};
  report["entry_status"] = r.entryStatus ? json(statusName(*r.entryStatus)) : json(nullptr);
  report["virtual_time_ns"] = r.virtualTimeNs;

  json checks = json::array();
  for (const CheckResult &check : r.checks) {
    json expected = nullptr;
    if (check.expected) {
      expected = {{"verdict", verdictName(check.expected->verdict)},
                  {"count", check.expected->count ? json(*check.expected->count) : json(nullptr)},
                  {"reason", check.expected->reason.empty() ? json(nullptr) : json(check.expected->reason)}};
    }
    checks.push_back({{"name", check.name},
                      {"verdict", verdictName(check.verdict)},
                      {"reason", check.reason},
                      {"evidence", check.evidence},
                      {"count", check.count ? json(*check.count) : json(nullptr)},
                      {"expected", expected},
                      {"as_expected", check.asExpected()}});
  }
  report["checks"] = checks;
  report["unexpected"] = {{"failures", r.unexpectedFailures()}, {"warnings", r.unexpectedWarnings()}};

  json steps = json::array();
  for (const RecordedStep &step : r.timeline) {
    steps.push_back({{"step", stepName(step.step)}, {"start_ns", step.startNs}, {"note", step.note}});
  }
  report["timeline"] = steps;

  json events = json::array();
  for (const RecordedEvent &event : r.events) {
    events.push_back(
        {{"type", eventTypeName(event)},
         {"notify_tpl", tplName(event.tpl)},
         {"subject", eventSubject(event)},
         {"group", event.kind == EventKind::ExitBootServices && !event.group ? json("Exit Boot Services")
                                                                             : optionalGuid(event.group)},
         {"notify_protocol", optionalGuid(event.notifyProtocol)},
         {"owner", event.owner},
         {"notify_function", event.notifyFunction.empty() ? json(nullptr) : json(event.notifyFunction)},
         {"signals", event.signals},
         {"notifies", event.notifies},
         {"closed", event.closed}});
  }
  report["events"] = events;

  json assertions = json::array();
  for (const AssertionRecord &a : r.assertions) {
    assertions.push_back({{"file", a.reportWritten ? json(a.file) : json(nullptr)},
                          {"line", a.reportWritten ? json(a.line) : json(nullptr)},
                          {"expression", a.reportWritten ? json(a.expression) : json(nullptr)},
                          {"breakpoint", a.breakpoint},
                          {"trace_index", a.traceIndex},
                          {"trapped", a.breakpoint != 0},
                          {"code", a.code}});
  }
  report["assertions"] = assertions;
  report["breakpoints"] = r.breakpoints;

  json stops = json::array();
  for (const FatalStopRecord &stop : r.fatalStops) {
    json windows = json::array();
    for (uint32_t window : stop.windows) {
      windows.push_back(hex(window));
    }
    stops.push_back({{"code", hex(stop.code)}, {"windows", windows}, {"halted", stop.halted}});
  }
  report["fatal_stops"] = stops;

  json postCodes = json::array();
  for (const auto &write : r.postCodes) {
    postCodes.push_back({{"port", hex(write.port)},
                         {"width", write.width},
                         {"value", hex(write.value)},
                         {"time_ns", write.timeNs}});
  }
  report["post_codes"] = postCodes;

  json pool = json::array();
  for (const PoolRecord &block : r.pool) {
    pool.push_back({{"name", fmt::format("pool[{}]", block.index)},
                    {"size", block.size},
                    {"type", memoryTypeName(block.type)},
                    {"owner", block.owner},
                    {"s3_private_data", block.s3PrivateData},
                    {"s3_table", block.s3Table}});
  }
  report["pool_in_use"] = pool;

  json pcd = json::array();
  for (const PcdWriteRecord &write : r.pcdWrites) {
    pcd.push_back({{"token", write.token},
                   {"size", write.size},
                   {"value", write.pointsTo ? json(nullptr) : json(hex(write.value))},
                   {"points_to", write.pointsTo ? json(poolRefName(*write.pointsTo)) : json(nullptr)},
                   {"status", statusName(write.status)},
                   {"owner", write.owner}});
  }
  report["pcd_writes"] = pcd;

  json gcd = json::array();
  for (const GcdRange &range : r.gcd) {
    gcd.push_back({{"base", hex(range.base)},
                   {"length", hex(range.length)},
                   {"type", gcdTypeName(range.type)},
                   {"capabilities", hex(range.capabilities)},
                   {"attributes", hex(range.attributes)},
                   {"allocated", range.image != nullptr}});
  }
  report["gcd"] = gcd;
  json changes = json::array();
  for (const MapChange &change : r.mapChanges) {
    changes.push_back({{"base", hex(change.base)},
                       {"length", hex(change.length)},
                       {"type", gcdTypeName(change.type)},
                       {"attributes_before", hex(change.attributesBefore)},
                       {"attributes_after", hex(change.attributesAfter)},
                       {"runtime", (change.attributesAfter & EFI_MEMORY_RUNTIME) != 0},
                       {"owner", change.owner.empty() ? json(nullptr) : json(change.owner)}});
  }
  report["memory_map_changes"] = changes;

  if (r.spi) {
    json registers = json::object();
    auto pairs = spiPairs(*r.spi);
    for (size_t i = 0; i < pairs.size(); i++) {
      registers[kSpiNames[i]] = {{"before", hex(pairs[i].first)}, {"after", hex(pairs[i].second)}};
    }
    report["spi"] = {{"base", hex(r.spi->base)}, {"registers", registers}};
    json opcodes = json::object();
    for (const SpiOpcode &opcode : r.spi->opcodes) {
      opcodes[hex(opcode.opcode)] = opcode.restricted;
    }
    report["spi_audit"] = {
        {"protect", r.spi->protect},
        {"lock", r.spi->lock},
        {"write_buffer_enabled", r.spi->writeBufferEnabled},
        {"restricted_opcodes", opcodes},
        {"armed_at", r.spi->armedAt ? json(*r.spi->armedAt) : json(nullptr)},
        {"locked_at", r.spi->lockedAt ? json(*r.spi->lockedAt) : json(nullptr)},
        {"first_port_off_at", r.spi->firstPortOffAt ? json(*r.spi->firstPortOffAt) : json(nullptr)},
        {"first_port_off_call", r.spi->firstPortOffCall ? json(*r.spi->firstPortOffCall + 1) : json(nullptr)},
        {"first_port_off_by",
         r.spi->firstPortOffBy ? json(std::string(portOffByName(*r.spi->firstPortOffBy))) : json(nullptr)}};
  } else {
    report["spi"] = nullptr;
    report["spi_audit"] = nullptr;
  }
  if (r.usbPortControlInstalled) {
    json calls = json::array();
    for (const PortMaskCall &call : r.portMaskCalls) {
      calls.push_back(
          {{"controller", call.controller}, {"mask", hex(call.mask)}, {"value", hex(call.value)}});
    }
    report["usb_port_control"] = {{"calls", calls}, {"switched_off", hex(r.portGroupsOff)}};
  } else {
    report["usb_port_control"] = nullptr;
  }
  if (r.mc5744Installed) {
    json calls = json::array();
    for (const HubCall &call : r.hubCalls) {
      bool apply = call.kind == HubCall::Kind::ApplyConfig;
      calls.push_back({{"call", apply ? "ApplyConfig" : "SetPortEnables"},
                       {"enables", apply ? json(nullptr) : json(call.enables)},
                       {"argument", apply ? json(hex(call.argument)) : json(nullptr)}});
    }
    report["mc5744"] = {{"calls", calls}, {"applied", r.hubEnables}};
  } else {
    report["mc5744"] = nullptr;
  }
  if (r.nvramInstalled) {
    json reads = json::array();
    for (const NvramReadRecord &read : r.nvramReads) {
      reads.push_back({{"name", read.name},
                       {"status", statusName(read.status)},
                       {"caller_error", read.callerError.empty() ? json(nullptr) : json(read.callerError)}});
    }
    report["nvram_reads"] = reads;
  } else {
    report["nvram_reads"] = nullptr;
  }
  report["calls"] = callsJson(r);
  json lookups = json::array();
  for (const LookupRecord &lookup : r.lookups) {
    const CallRecord &call = r.calls[lookup.call];
    json entry = {{"call", lookup.call + 1},
                  {"service", call.service},
                  {"subject", lookupSubject(r, lookup)},
                  {"status", statusName(lookup.status)},
                  {"answer", lookupAnswer(r, lookup)},
                  {"code", call.image + " " + call.function}};
    if (call.guid) {
      entry["guid"] = guidToString(*call.guid);
    }
    if (!lookup.name.empty()) {
      entry["name"] = lookup.name;
    }
    lookups.push_back(entry);
  }
  report["lookups"] = lookups;
  json misses = json::array();
  for (const NearMissRecord &miss : r.nearMisses) {
    static constexpr const char *kKinds[] = {"attribute", "variable", "protocol", "value"};
    json entry = {{"kind", kKinds[static_cast<size_t>(miss.kind)]},
                  {"text", nearMissText(miss)},
                  {"did_you_mean", miss.closest ? json(*miss.closest) : json(nullptr)}};
    if (!miss.name.empty()) {
      entry["name"] = miss.name;
    }
    if (miss.guid) {
      entry["guid"] = guidToString(*miss.guid);
    }
    if (miss.kind == NearMissKind::Value) {
      entry["value"] = miss.value;
    }
    misses.push_back(entry);
  }
  report["near_misses"] = misses;
  json dies = json::array();
  for (const DieRecord &die : r.dies) {
    json writes = json::array();
    for (uint32_t value : die.portDisableWrites) {
      writes.push_back(hex(value));
    }
    dies.push_back({{"die", die.die},
                    {"bus", hex(die.bus)},
                    {"sata_port_disable", hex(die.portDisable)},
                    {"sata_port_disable_writes", writes},
                    {"disabled_ahci_ports", disabledPorts(die)}});
  }
  report["dies"] = dies;
  report["policy"] = {{"expected", r.expectedPolicy ? policyJson(*r.expectedPolicy) : json(nullptr)},
                      {"actual", policyJson(r.actualPolicy)},
                      {"note", r.policyNote.empty() ? json(nullptr) : json(r.policyNote)}};
  report["s3"] = s3JsonReport(r.s3);
  report["console"] = consoleJson(r.console);
  json rules = json::array();
  for (const FailureRuleRecord &rule : r.failureRules) {
    rules.push_back({{"service", rule.service},
                     {"call", rule.call},
                     {"guid", optionalGuid(rule.guid)},
                     {"status", statusName(rule.status)},
                     {"hits", rule.hits}});
  }
  report["failure_rules"] = rules;
  json injected = json::array();
  for (const FailureHitRecord &hit : r.injected) {
    injected.push_back({{"service", hit.service},
                        {"call", hit.call},
                        {"guid", optionalGuid(hit.guid)},
                        {"status", statusName(hit.status)},
                        {"image", hit.image},
                        {"function", hit.function},
                        {"occurrence", hit.occurrence}});
  }
  report["injected_failures"] = injected;
  report["diagnostics"] = r.diagnostics;
  return report;
}

namespace {

std::string injectedText(const FailureHitRecord &hit) {
  return fmt::format("{} call {}{} in {} {} -> {}", hit.service, hit.call,
                     hit.guid ? " (about " + guidDisplayName(*hit.guid) + ")" : "", hit.image, hit.function,
                     statusName(hit.status));
}

} // namespace

std::string textSummary(Simulation &simulation) {
  return textSummary(simulation.record());
}

json jsonReport(Simulation &simulation) {
  return jsonReport(simulation.record());
}

} // namespace sim
