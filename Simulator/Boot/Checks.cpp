// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Checks.h"

#include "Host/NearestName.h"
#include "FailureModel.h"
#include "Report.h"

#include <Protocol/DxeSmmReadyToLock.h>
#include <Protocol/PciEnumerationComplete.h>

#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <set>

namespace sim {

namespace {

constexpr uint64_t kAcpiMmioPage = 0xFED80000;
constexpr uint64_t kMemoryRuntime = 0x8000000000000000ULL;
constexpr uint64_t kMemoryUc = 0x1;
constexpr uint8_t kSpiLock = 0x20;

std::string hex(uint64_t value) {
  return fmt::format("0x{:X}", value);
}

CheckResult result(Verdict verdict, std::string reason, std::vector<std::string> evidence = {}) {
  CheckResult out;
  out.verdict = verdict;
  out.reason = std::move(reason);
  out.evidence = std::move(evidence);
  return out;
}

CheckResult counted(CheckResult r, size_t count) {
  r.count = count;
  return r;
}

// "a; b; c": the reasons of one verdict, in the order found.
std::string joined(const std::vector<std::string> &reasons, std::string_view separator = "; ") {
  std::string text;
  for (const std::string &reason : reasons) {
    text += (text.empty() ? "" : std::string(separator)) + reason;
  }
  return text;
}

bool stepAfterLoad(const BootRecord &r, Step step) {
  bool loaded = false;
  for (const RecordedStep &s : r.timeline) {
    if (loaded && s.step == step && s.ran) {
      return true;
    }
    loaded |= s.step == Step::Load;
  }
  return false;
}

bool stepAnywhere(const BootRecord &r, Step step) {
  return std::any_of(r.timeline.begin(), r.timeline.end(),
                     [step](const RecordedStep &s) { return s.step == step && s.ran; });
}

std::string hitName(const FailureHitRecord &hit) {
  return fmt::format("{} call {}{} in {} {}", hit.service, hit.call,
                     hit.guid ? " (" + guidDisplayName(*hit.guid) + ")" : "", hit.image, hit.function);
}

// ---- the driver's own work

CheckResult entryCheck(const BootRecord &r) {
  if (!r.entryStatus) {
    return result(Verdict::Fail, "the driver entry never returned", {r.haltDetail.value_or("")});
  }
  if (*r.entryStatus != EFI_SUCCESS) {
    return result(Verdict::Fail, fmt::format("the driver entry returned {}", statusName(*r.entryStatus)));
  }
  return result(Verdict::Pass, "the driver entry returned Success");
}

CheckResult haltCheck(const BootRecord &r) {
  if (r.haltReason && r.haltReason == r.expectedHalt) {
    return result(Verdict::Pass, "the machine halted as the board expects: " + r.haltDetail.value_or(""));
  }
  if (r.expectedHalt && !r.haltReason && r.injected.empty()) {
    return result(Verdict::Fail, fmt::format("the board expects a halt ({}) that never came",
                                             haltReasonName(*r.expectedHalt)));
  }
  if (r.haltReason) {
    return result(Verdict::Fail, fmt::format("the machine halted: {}",
                                             r.haltDetail.value_or(haltReasonName(*r.haltReason))));
  }
  return result(Verdict::Pass, "the machine ran every step");
}

std::string eventName(const RecordedEvent &event) {
  if (!event.notifyFunction.empty()) {
    return event.notifyFunction;
  }
  if (event.group) {
    return "group " + guidDisplayName(*event.group);
  }
  return event.notifyProtocol ? "notify of " + guidDisplayName(*event.notifyProtocol) : "an event";
}

bool isExitBootServices(const RecordedEvent &event) {
  return event.kind == EventKind::ExitBootServices;
}

// The step whose protocol installation a notify waits for.
std::optional<Step> protocolStep(const EFI_GUID &protocol) {
  if (sameGuid(protocol, gEfiPciEnumerationCompleteProtocolGuid)) {
    return Step::PciEnumerationComplete;
  }
  if (sameGuid(protocol, gEfiDxeSmmReadyToLockProtocolGuid)) {
    return Step::SmmReadyToLock;
  }
  return std::nullopt;
}

CheckResult eventsClosedCheck(const BootRecord &r) {
  std::vector<std::string> open, evidence;
  unsigned owned = 0;
  for (const RecordedEvent &event : r.events) {
    if (event.owner != "KeshInitDxe" || isExitBootServices(event)) {
      continue;
    }
    owned++;
    bool triggered = event.signals > 0;
    if (event.notifyProtocol) {
      auto step = protocolStep(*event.notifyProtocol);
      triggered = step && stepAnywhere(r, *step);
    }
    std::string name = eventName(event);
    evidence.push_back(
        fmt::format("{}: notified {}x, {}", name, event.notifies, event.closed ? "closed" : "open"));
    if (triggered && !event.closed) {
      open.push_back(name);
    }
  }
  if (owned == 0) {
    return result(Verdict::NotApplicable, "the driver created no notify events", evidence);
  }
  if (!open.empty()) {
    return result(Verdict::Fail, "left open after it ran: " + joined(open, ", "), evidence);
  }
  return result(Verdict::Pass, "every notify event that ran was closed", evidence);
}

CheckResult eventsOnceCheck(const BootRecord &r) {
  // Each notify that acts closes its own event: work runs once per boot.
  for (const RecordedEvent &event : r.events) {
    if (event.group && event.notifies > 1) {
      return result(Verdict::Fail, fmt::format("{} of {} in group {} ran {} times", eventName(event),
                                               event.owner, guidDisplayName(*event.group), event.notifies));
    }
  }
  return result(Verdict::Pass, "no group notify ran more than once");
}

// The attributes of the GCD range holding an address, before and after.
struct PageAttributes {
  uint64_t before = 0, after = 0;
  std::string owner;
  bool found = false;
};

PageAttributes pageAttributes(const BootRecord &r, uint64_t address) {
  PageAttributes out;
  for (const GcdRange &range : r.gcd) {
    if (address >= range.base && address - range.base < range.length &&
        range.type != EfiGcdMemoryTypeNonExistent) {
      out.found = true;
      out.before = out.after = range.attributes;
    }
  }
  for (const MapChange &change : r.mapChanges) {
    if (address >= change.base && address - change.base < change.length) {
      out.before = change.attributesBefore;
      out.after = change.attributesAfter;
      out.owner = change.owner;
    }
  }
  return out;
}

bool ramType(EFI_GCD_MEMORY_TYPE type) {
  return type == EfiGcdMemoryTypeSystemMemory || type == EfiGcdMemoryTypePersistent ||
         type == EfiGcdMemoryTypeMoreReliable || type == EfiGcdMemoryTypeUnaccepted;
}

// The SPI base as the platform gives it, and whether the driver must use it:
// anything but all ones, zero, the ACPI MMIO page or a page the map calls
// RAM. A base the map does not know, or no map at all, is still used.
std::optional<uint64_t> usableSpiBase(const PlatformFacts &facts, std::string *why) {
  if (!facts.spiBaseRegister || *facts.spiBaseRegister == 0xFFFFFFFFu) {
    *why = "the SPI base register reads all ones (no controller)";
    return std::nullopt;
  }
  uint64_t base = *facts.spiBaseRegister & 0xFFFFFFC0u;
  if (base == 0) {
    *why = "the SPI base register holds no base";
    return std::nullopt;
  }
  if ((base & ~uint64_t{0xFFF}) == kAcpiMmioPage) {
    *why = fmt::format("the SPI base {} lies on the ACPI MMIO page", hex(base));
    return std::nullopt;
  }
  if (facts.dxeServices && facts.spiPageType && ramType(*facts.spiPageType)) {
    *why = fmt::format("the GCD map says the SPI base {} is RAM", hex(base));
    return std::nullopt;
  }
  return base;
}

// The DXE-services calls of PCI enumeration that the platform's GCD map, as
// it stood before the driver ran, must refuse for a page: the allocation
// (the ACPI MMIO page only) of a page that is not free MMIO, the descriptor
// of a page it does not describe, attributes its range cannot take. The
// driver asserts each and goes on; the finding is the platform's.
std::vector<std::string> gcdRefusals(const BootRecord &r, uint64_t page, uint64_t added, bool allocate,
                                     const char *what) {
  std::vector<std::string> refused;
  const GcdRange *range = rangeHolding(r.gcdAtStart, page);
  if (allocate && (range == nullptr || range->type != EfiGcdMemoryTypeMemoryMappedIo ||
                   range->image != nullptr || page + 0xFFF - range->base >= range->length)) {
    refused.push_back(fmt::format("the {} is not free MMIO in the GCD map: its allocation fails", what));
  }
  if (range == nullptr) {
    refused.push_back(fmt::format("the {} is not in the GCD map: its descriptor read fails", what));
  }
  if (range == nullptr || range->type == EfiGcdMemoryTypeNonExistent ||
      ((range->attributes | added) & ~range->capabilities) != 0) {
    refused.push_back(fmt::format("the GCD map cannot give the {} {}: its attribute request fails", what,
                                  added == kMemoryRuntime ? "RUNTIME" : "UC|RUNTIME"));
  }
  return refused;
}

// Every refusal of the pages the driver reports at PCI enumeration.
std::vector<std::string> enumerationRefusals(const BootRecord &r) {
  if (!r.platform.dxeServices || !stepAnywhere(r, Step::PciEnumerationComplete)) {
    return {};
  }
  std::vector<std::string> refused =
      gcdRefusals(r, kAcpiMmioPage, kMemoryRuntime | kMemoryUc, true, "ACPI MMIO page");
  std::string why;
  if (std::optional<uint64_t> base = usableSpiBase(r.platform, &why)) {
    for (std::string &refusal : gcdRefusals(r, *base & ~uint64_t{0xFFF}, kMemoryRuntime, false, "SPI page")) {
      refused.push_back(std::move(refusal));
    }
  }
  return refused;
}

CheckResult runtimeMmioCheck(const BootRecord &r) {
  if (!stepAnywhere(r, Step::PciEnumerationComplete)) {
    return result(Verdict::NotApplicable, "PCI enumeration never completed");
  }
  std::vector<std::string> problems, evidence;
  PageAttributes acpi = pageAttributes(r, kAcpiMmioPage);
  evidence.push_back(fmt::format("ACPI MMIO page {}: attributes {} -> {}, allocated by {}",
                                 hex(kAcpiMmioPage), hex(acpi.before), hex(acpi.after),
                                 acpi.owner.empty() ? "nobody" : acpi.owner));
  std::vector<std::string> refused = enumerationRefusals(r);
  auto refusedPage = [&refused](std::string_view what) {
    return std::any_of(refused.begin(), refused.end(),
                       [what](const std::string &reason) { return reason.find(what) != std::string::npos; });
  };
  if (!r.platform.dxeServices) {
    refused.push_back("without DXE services no page can be reported");
  } else if (!refusedPage("ACPI MMIO page")) {
    if (acpi.owner != "KeshInitDxe") {
      problems.push_back("the ACPI MMIO page is not allocated by the driver");
    }
    if ((acpi.after & (acpi.before | kMemoryRuntime | kMemoryUc)) !=
        (acpi.before | kMemoryRuntime | kMemoryUc)) {
      problems.push_back("the ACPI MMIO page lacks UC|RUNTIME added to its attributes");
    }
  }
  std::string why;
  std::optional<uint64_t> base = usableSpiBase(r.platform, &why);
  if (base) {
    uint64_t page = *base & ~uint64_t{0xFFF};
    PageAttributes spi = pageAttributes(r, page);
    evidence.push_back(fmt::format("SPI page {}: {}attributes {} -> {}, allocated by {}", hex(page),
                                   spi.found ? "" : "not in the GCD map, ", hex(spi.before), hex(spi.after),
                                   spi.owner.empty() ? "nobody" : spi.owner));
    if (r.platform.dxeServices && !refusedPage("SPI page") && spi.after != (spi.before | kMemoryRuntime)) {
      problems.push_back("the SPI page does not have exactly RUNTIME added");
    }
    if (spi.owner == "KeshInitDxe") {
      problems.push_back("the SPI page was allocated");
    }
    if (r.spi) {
      evidence.push_back(fmt::format("SPI register 0x1D = {}", hex(r.spi->after.reg1D)));
      if (!r.spi->writeBufferEnabled) {
        problems.push_back("WriteBufferEn is clear");
      }
    }
  } else if (r.spi && r.spi->writeBufferEnabled && (r.spi->before.reg1D & 0x04) == 0) {
    problems.push_back("WriteBufferEn was set through a base the driver must refuse (" + why + ")");
  }
  if (!problems.empty()) {
    return result(Verdict::Fail, joined(problems), evidence);
  }
  if (!refused.empty()) {
    return result(Verdict::Warn, "the platform keeps pages from the OS's runtime map: " + joined(refused),
                  evidence);
  }
  if (!base) {
    return result(Verdict::Pass, "ACPI MMIO page reported as runtime MMIO; no SPI page: " + why, evidence);
  }
  return result(Verdict::Pass, "ACPI MMIO and SPI pages reported as runtime MMIO, WriteBufferEn set",
                evidence);
}

std::vector<std::string> spiEvidence(const SpiRecord &spi) {
  std::vector<std::string> out = {
      fmt::format("SPI base {}", hex(spi.base)),
      fmt::format("SpiControl {} -> {}", hex(spi.before.control), hex(spi.after.control)),
      fmt::format("RestrictedCmd {} -> {}", hex(spi.before.restrictedCmd), hex(spi.after.restrictedCmd)),
      fmt::format("RestrictedCmd2 {} -> {}", hex(spi.before.restrictedCmd2), hex(spi.after.restrictedCmd2)),
      fmt::format("register 0x1D {} -> {}", hex(spi.before.reg1D), hex(spi.after.reg1D))};
  for (const SpiByteWrite &write : spi.reg1DWrites) {
    out.push_back(fmt::format("register 0x1D written {}{}{}", hex(write.value),
                              write.traceIndex ? fmt::format(" at trace entry {}", *write.traceIndex) : "",
                              write.ignored ? ", ignored: the register is locked" : ""));
  }
  return out;
}

CheckResult spiProtectCheck(const BootRecord &r) {
  std::string why;
  std::optional<uint64_t> base = usableSpiBase(r.platform, &why);
  if (!base) {
    return result(Verdict::Warn, "no usable SPI base: the flash stays unprotected (" + why + ")");
  }
  if (!stepAfterLoad(r, Step::EndOfDxe)) {
    return result(Verdict::NotApplicable, "End of DXE never reached the driver");
  }
  if (!r.spi) {
    return result(Verdict::Fail, fmt::format("no SPI controller answers at {}", hex(*base)));
  }
  auto evidence = spiEvidence(*r.spi);
  return r.spi->protect ? result(Verdict::Pass, "the protect bit is set", evidence)
                        : result(Verdict::Fail, "the protect bit is clear after End of DXE", evidence);
}

// The lock is due only when the identity protocol answers exactly 1 for the
// PWD; otherwise the controller must stay unlocked.
CheckResult spiLockCheck(const BootRecord &r) {
  std::string why;
  if (!usableSpiBase(r.platform, &why)) {
    return result(Verdict::NotApplicable, "no usable SPI base: " + why);
  }
  if (!stepAfterLoad(r, Step::EndOfDxe) || !r.spi) {
    return result(Verdict::NotApplicable, "End of DXE never reached the driver");
  }
  auto evidence = spiEvidence(*r.spi);
  bool due = r.platform.identityInstalled && r.platform.pwdAnswer == 1;
  std::string answer = !r.platform.identityInstalled
                           ? "the identity protocol is not installed"
                           : fmt::format("the identity protocol answers {} for the PWD",
                                         hex(r.platform.pwdAnswer.value_or(0)));
  std::vector<std::string> problems;
  if (!due) {
    if (r.spi->lock && (r.spi->before.reg1D & kSpiLock) == 0) {
      problems.push_back("the controller was locked");
    }
    if (r.spi->after.restrictedCmd != r.spi->before.restrictedCmd ||
        r.spi->after.restrictedCmd2 != r.spi->before.restrictedCmd2) {
      problems.push_back("restricted commands were loaded");
    }
    if (problems.empty()) {
      return result(Verdict::Pass, answer + ": the controller stays unlocked", evidence);
    }
    return result(Verdict::Fail, answer + " but " + joined(problems), evidence);
  }
  if (!r.spi->lock) {
    problems.push_back("the lock bit is clear");
  }
  if (r.spi->lockedWrite && (!r.spi->armedWrite || *r.spi->lockedWrite < *r.spi->armedWrite)) {
    problems.push_back("the lock bit was written before the protect bit");
  }
  for (const SpiOpcode &opcode : r.spi->opcodes) {
    if (!opcode.restricted) {
      problems.push_back(fmt::format("opcode {} is not restricted", hex(opcode.opcode)));
    }
  }
  if (r.spi->spiControlBit22) {
    problems.push_back("SpiControl bit 22 is set");
  }
  if (problems.empty()) {
    return result(Verdict::Pass,
                  "PWD inserted: locked after the protect bit, all seven flash-writing opcodes restricted, "
                  "SpiControl bit 22 clear",
                  evidence);
  }
  return result(Verdict::Fail, "PWD inserted but " + joined(problems), evidence);
}

CheckResult spiArmedCheck(const BootRecord &r) {
  std::string why;
  if (!usableSpiBase(r.platform, &why)) {
    return result(Verdict::NotApplicable, "no protection to arm: " + why);
  }
  if (!r.spi || !r.spi->firstPortOffAt) {
    return result(Verdict::NotApplicable, "no USB, SD-card or SATA port was switched off");
  }
  std::vector<std::string> evidence = {fmt::format("first port switched off by {}", portOffPlace(*r.spi))};
  if (!r.spi->armedAt) {
    return result(Verdict::Fail, "a port was switched off and protection was never armed", evidence);
  }
  evidence.push_back(fmt::format("protect bit written at trace entry {}", *r.spi->armedAt));
  return *r.spi->armedAt < *r.spi->firstPortOffAt
             ? result(Verdict::Pass, "protection was armed before the first port went off", evidence)
             : result(Verdict::Fail, "protection was armed after a port went off", evidence);
}

std::string masks(const std::vector<std::pair<uint32_t, uint32_t>> &calls) {
  std::string out;
  for (const auto &[mask, value] : calls) {
    out += fmt::format("{}({}, {})", out.empty() ? "" : " ", hex(mask), hex(value));
  }
  return out.empty() ? "none" : out;
}

std::string enables(const std::optional<std::array<uint32_t, 4>> &e) {
  return e ? fmt::format("{} {} {} {}", (*e)[0], (*e)[1], (*e)[2], (*e)[3]) : "not programmed";
}

std::string locations(const std::optional<uint8_t> &l) {
  return l ? hex(*l) : "none";
}

CheckResult usbPolicyCheck(const BootRecord &r) {
  if (!r.expectedPolicy) {
    return result(Verdict::NotApplicable, "no expectation: " + r.policyNote);
  }
  const PolicyOutcome &want = *r.expectedPolicy;
  const PolicyOutcome &got = r.actualPolicy;
  std::vector<std::string> evidence = {
      fmt::format("SetPortMask calls: expected {}, made {}", masks(want.portMaskCalls),
                  masks(got.portMaskCalls)),
      fmt::format("hub enables: expected {}, applied {}", enables(want.hubEnables), enables(got.hubEnables)),
      fmt::format("hub locations: expected {}, reported {}", locations(want.hubLocations),
                  locations(got.hubLocations))};
  std::vector<std::string> differences;
  if (want.portMaskCalls != got.portMaskCalls) {
    differences.push_back(fmt::format("SetPortMask calls {} where {} were due", masks(got.portMaskCalls),
                                      masks(want.portMaskCalls)));
  }
  if (want.hubEnables != got.hubEnables) {
    differences.push_back(
        fmt::format("hub enables {} where {} were due", enables(got.hubEnables), enables(want.hubEnables)));
  }
  // The locations show only in the hub routine's first message, which the
  // error level may hold back.
  if (got.hubLocations && want.hubLocations != got.hubLocations) {
    differences.push_back(fmt::format("hub locations {} where {} were due", locations(got.hubLocations),
                                      locations(want.hubLocations)));
  }
  if (differences.empty()) {
    return result(Verdict::Pass, "port groups, hub locations and hub enables are what the settings call for",
                  evidence);
  }
  return result(Verdict::Fail, joined(differences), evidence);
}

std::string writes(const std::vector<uint32_t> &values) {
  std::string out;
  for (uint32_t value : values) {
    out += (out.empty() ? "" : " ") + hex(value);
  }
  return out;
}

CheckResult sataPolicyCheck(const BootRecord &r) {
  if (!r.expectedPolicy) {
    return result(Verdict::NotApplicable, "no expectation: " + r.policyNote);
  }
  const PolicyOutcome &want = *r.expectedPolicy;
  const PolicyOutcome &got = r.actualPolicy;
  auto pcdText = [](const std::map<uint64_t, uint64_t> &pcd) {
    std::string out;
    for (const auto &[token, value] : pcd) {
      out += fmt::format("{}{}={}", out.empty() ? "" : " ", token, hex(value));
    }
    return out.empty() ? std::string("none") : out;
  };
  auto dieText = [](const std::map<uint8_t, std::vector<uint32_t>> &dies) {
    std::string out;
    for (const auto &[die, values] : dies) {
      out += fmt::format("{}die {}: {}", out.empty() ? "" : ", ", die, writes(values));
    }
    return out.empty() ? std::string("none") : out;
  };
  std::vector<std::string> evidence = {
      fmt::format("PCD 228-236: expected {}, written {}", pcdText(want.pcd), pcdText(got.pcd)),
      fmt::format("port-disable register writes: expected {}, made {}", dieText(want.dieWrites),
                  dieText(got.dieWrites))};
  for (const DieBusRead &bus : r.platform.dieBuses) {
    if (bus.value != 0xFFFFFFFFu) {
      evidence.push_back(fmt::format("die {} bus register reads {}", bus.die, hex(bus.value)));
    }
  }
  std::vector<std::string> differences;
  if (want.pcd != got.pcd) {
    differences.push_back(fmt::format("PCD {} where {} was due", pcdText(got.pcd), pcdText(want.pcd)));
  }
  if (want.dieWrites != got.dieWrites) {
    differences.push_back(fmt::format("port-disable writes {} where {} were due", dieText(got.dieWrites),
                                      dieText(want.dieWrites)));
  }
  if (differences.empty()) {
    return result(Verdict::Pass, "PCD tokens and die register writes are what the settings call for",
                  evidence);
  }
  return result(Verdict::Fail, joined(differences), evidence);
}

// Where a line feed went out without the carriage return before it.
std::optional<size_t> bareLineFeed(const std::string &bytes) {
  for (size_t i = 0; i < bytes.size(); i++) {
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) {
      return i;
    }
  }
  return std::nullopt;
}

CheckResult consoleCheck(const BootRecord &r) {
  const ConsoleRecord &c = r.console;
  // The driver answers for what it wrote; a UART that is absent, never
  // decodes its ports, never sends, or says its FIFOs are off (which stops
  // the console) is the platform's, and so is every difference between the
  // two logs that follows from it.
  std::vector<std::string> problems, evidence, platform;
  bool anything = false;
  for (const UartRecord &uart : c.uarts) {
    evidence.push_back(fmt::format(
        "UART {}: {} bytes written, {} sent, {} never sent, {} lost{}{}{}", hex(uart.base),
        uart.written.size(), uart.bytes.size(), uart.pending, uart.lost, uart.present ? "" : ", not present",
        uart.fifoReportsOff ? ", FIFOs reported off" : "", uart.neverDrains ? ", never drains" : ""));
    anything |= !uart.written.empty();
    if (!uart.present) {
      platform.push_back(fmt::format("UART {} is not present", hex(uart.base)));
      continue;
    }
    if (uart.neverDrains && (uart.pending != 0 || !uart.written.empty())) {
      platform.push_back(
          fmt::format("UART {} never sends: {} bytes stayed unsent", hex(uart.base), uart.pending));
    } else if (uart.lost != 0 || uart.pending != 0) {
      problems.push_back(
          fmt::format("UART {} lost {} and never sent {} bytes", hex(uart.base), uart.lost, uart.pending));
    } else if (uart.bytes.empty() && !uart.written.empty()) {
      platform.push_back(fmt::format("UART {} never decoded its ports: nothing went out", hex(uart.base)));
    } else if (!uart.written.ends_with(uart.bytes)) {
      // What went out before the UART decoded its ports is lost on any
      // machine; everything after must go out as written.
      problems.push_back(fmt::format("UART {} sent other bytes than the firmware wrote", hex(uart.base)));
    }
    if (auto at = bareLineFeed(uart.written)) {
      problems.push_back(
          fmt::format("UART {}: a line feed without a carriage return at byte {}", hex(uart.base), *at));
    }
  }
  if (c.uarts[0].fifoReportsOff) {
    platform.push_back(
        fmt::format("UART {} reports its FIFOs off: the console stops writing", hex(c.uarts[0].base)));
  }
  std::vector<std::string> &between = platform.empty() ? problems : platform;
  // An assertion's report is always due on the console.
  bool due = std::any_of(r.assertions.begin(), r.assertions.end(),
                         [](const AssertionRecord &a) { return a.breakpoint != 0; });
  if (!anything && due) {
    between.push_back("the console carried nothing while assertion reports were due");
  }
  if (!c.identical) {
    between.push_back(fmt::format("the logs differ from byte {}", c.firstDifference.value_or(0)));
  }
  if (!c.sameSettings) {
    between.push_back("the line settings differ");
  }
  if (!problems.empty()) {
    return result(Verdict::Fail, joined(problems), evidence);
  }
  if (!platform.empty()) {
    return result(Verdict::Warn, "the platform's console loses output: " + joined(platform), evidence);
  }
  return result(Verdict::Pass, "both UARTs carry the same bytes, CR LF line ends, nothing lost", evidence);
}

// ---- what failed, and whether an injected failure explains it

// The injected failures that explain an assertion: made in the code that
// asserted, and not on a silent path.
bool explained(const BootRecord &r, const AssertionRecord &a) {
  return std::any_of(r.injected.begin(), r.injected.end(), [&a](const FailureHitRecord &hit) {
    return findSilentPath(hit) == nullptr && a.code == hitCodeName(hit);
  });
}

// The assertions platform facts call for, each with its reason: a module
// carrying the S3 library asserts once in its constructor when the PCI
// configuration window is off; without a DXE services table the driver's
// DXE services library asserts twice and the constructor list once more;
// firmware older than UEFI 2.0 cannot register Ready to Boot (twice); no
// runtime services table asserts once; and each DXE-services call that the
// GCD map refuses at PCI enumeration asserts.
std::vector<std::string> platformAssertions(const BootRecord &r) {
  std::vector<std::string> due;
  if (!r.s3.window) {
    for (const RecordedStep &step : r.timeline) {
      if ((step.step == Step::Load || step.step == Step::LoadS3Client) && step.ran) {
        due.push_back(fmt::format("{}: the PCI configuration window is off", stepName(step.step)));
      }
    }
  }
  if (!r.platform.dxeServices) {
    for (const RecordedStep &step : r.timeline) {
      if (step.step == Step::Load && step.ran) {
        due.push_back("no DXE services table: the DXE services library finds none");
        due.push_back("no DXE services table: the DXE services library's table is null");
        due.push_back("no DXE services table: the constructor list reports the library's status");
      }
    }
  }
  bool loaded = std::any_of(r.timeline.begin(), r.timeline.end(),
                            [](const RecordedStep &step) { return step.step == Step::Load && step.ran; });
  if (loaded && r.platform.systemTableRevision < 0x00020000) {
    due.push_back("firmware older than UEFI 2.0: the Ready-to-Boot registration asserts");
    due.push_back("firmware older than UEFI 2.0: the entry reports the registration's status");
  }
  if (loaded && !r.platform.runtimeServices) {
    due.push_back("no runtime services table: the runtime services library finds none");
  }
  for (std::string &refusal : enumerationRefusals(r)) {
    due.push_back(std::move(refusal));
  }
  return due;
}

CheckResult assertionsCheck(const BootRecord &r) {
  std::vector<std::string> evidence, problems;
  size_t unexplained = 0, untrapped = 0;
  for (const AssertionRecord &a : r.assertions) {
    bool byFailure = explained(r, a);
    unexplained += byFailure ? 0 : 1;
    untrapped += a.reportWritten && a.breakpoint == 0 ? 1 : 0;
    evidence.push_back(a.reportWritten ? fmt::format("{}({}): {} in {}{}{}", a.file, a.line, a.expression,
                                                     a.code, a.breakpoint == 0 ? ", no trap followed" : "",
                                                     byFailure ? ", caused by an injected failure" : "")
                                       : fmt::format("trap {} without a report in {}", a.breakpoint, a.code));
  }
  size_t count = r.assertions.size();
  if (untrapped != 0) {
    problems.push_back(fmt::format("{} assertion reports printed without their breakpoint trap", untrapped));
  }
  std::vector<std::string> due = platformAssertions(r);
  for (const std::string &reason : due) {
    evidence.push_back("due: " + reason);
  }
  size_t allowed = due.size();
  if (unexplained > allowed) {
    problems.push_back(
        fmt::format("{} assertions{}", unexplained,
                    allowed == 0 ? "" : fmt::format(" where the platform calls for {}", allowed)));
  } else if (unexplained < allowed && r.injected.empty()) {
    // (An injected failure may skip the step that asserts.)
    problems.push_back(
        fmt::format("{} assertions where the platform calls for {} ({})", unexplained, allowed, joined(due)));
  }
  if (!problems.empty()) {
    return counted(result(Verdict::Fail, joined(problems), evidence), count);
  }
  if (count == 0) {
    return counted(result(Verdict::Pass, "no assertion"), 0);
  }
  return counted(
      result(Verdict::Pass,
             fmt::format("{} assertions, each one an injected failure or the platform calls for", count),
             evidence),
      count);
}

CheckResult breakpointsCheck(const BootRecord &r) {
  size_t reported = 0;
  for (const AssertionRecord &a : r.assertions) {
    reported += a.breakpoint != 0 ? 1 : 0;
  }
  if (r.breakpoints == 0) {
    return counted(result(Verdict::Pass, "no breakpoint trap"), 0);
  }
  if (reported != r.breakpoints) {
    return counted(result(Verdict::Fail, fmt::format("{} breakpoint traps, {} of them after an assertion",
                                                     r.breakpoints, reported)),
                   r.breakpoints);
  }
  return counted(result(Verdict::Pass, fmt::format("{} breakpoint traps, each ending an assertion (judged by "
                                                   "the assertions check)",
                                                   r.breakpoints)),
                 r.breakpoints);
}

CheckResult fatalStopsCheck(const BootRecord &r) {
  if (r.fatalStops.empty()) {
    return counted(result(Verdict::Pass, "no fatal stop"), 0);
  }
  std::vector<std::string> evidence;
  for (const FatalStopRecord &stop : r.fatalStops) {
    evidence.push_back(fmt::format("code 0x{:08X}", stop.code));
  }
  return counted(result(Verdict::Fail, fmt::format("{} fatal stops", r.fatalStops.size()), evidence),
                 r.fatalStops.size());
}

CheckResult poolLeaksCheck(const BootRecord &r) {
  std::vector<std::string> evidence, leaks;
  for (const PoolRecord &block : r.pool) {
    evidence.push_back(fmt::format("pool[{}]: {} bytes {} of {}", block.index, block.size,
                                   memoryTypeName(block.type), block.owner));
    if (block.s3PrivateData && block.size == 16) {
      continue;
    }
    leaks.push_back(fmt::format("pool[{}] ({} bytes of {}{})", block.index, block.size, block.owner,
                                block.s3Table ? ", an S3 save table never handed off" : ""));
  }
  if (!leaks.empty()) {
    return counted(result(Verdict::Fail, "left allocated: " + joined(leaks, ", "), evidence), leaks.size());
  }
  return counted(result(Verdict::Pass, "nothing left allocated but the S3 library's private data", evidence),
                 0);
}

CheckResult poolMisuseCheck(const BootRecord &r) {
  if (r.poolMisuse.empty()) {
    return result(Verdict::Pass, "no use after free, double free or foreign free");
  }
  std::string reason = r.poolMisuse.front();
  if (r.poolMisuse.size() > 1) {
    reason += fmt::format(" (and {} more)", r.poolMisuse.size() - 1);
  }
  return result(Verdict::Fail, reason, r.poolMisuse);
}

CheckResult s3HandoffCheck(const BootRecord &r) {
  if (!stepAfterLoad(r, Step::ReadyToBoot)) {
    return result(Verdict::NotApplicable, "Ready to Boot never came after the driver loaded");
  }
  const S3Record &s3 = r.s3;
  std::vector<std::string> evidence;
  std::vector<const SmmCallRecord *> handled;
  for (size_t i = 0; i < s3.smmCalls.size(); i++) {
    const SmmCallRecord &call = s3.smmCalls[i];
    evidence.push_back(fmt::format(
        "call {}: CommSize {}, {}{}", i + 1, call.commSize ? std::to_string(*call.commSize) : "NULL",
        statusName(call.status), call.accepted ? ", accepted" : ", refused: " + call.reason));
    if (!call.injected) {
      handled.push_back(&call);
    }
  }
  bool due = s3.tableEverCreated && r.readyToBootSignals > 0;
  if (handled.empty()) {
    if (due) {
      return result(Verdict::Fail, "a table was recorded but never handed off to SMM", evidence);
    }
    if (s3.tableEverCreated) {
      return result(Verdict::NotApplicable, "Ready to Boot never came: the table was not due yet", evidence);
    }
    return result(Verdict::Pass, "no S3 save table was recorded, and none was handed off", evidence);
  }
  if (handled.size() != 1) {
    return result(Verdict::Fail, fmt::format("handed off {} times", handled.size()), evidence);
  }
  const SmmCallRecord &call = *handled.front();
  if (!call.accepted) {
    return result(Verdict::Fail, "the hand-off was refused: " + call.reason, evidence);
  }
  if (call.commSize != std::optional<uint64_t>(40) || call.message.size() != 40) {
    return result(Verdict::Fail, "the message is not 40 bytes", evidence);
  }
  if (!call.table || !call.table->valid) {
    std::string problem =
        call.table && !call.table->problems.empty() ? call.table->problems.front() : "no table";
    return result(Verdict::Fail, "the table is malformed: " + problem, evidence);
  }
  if (call.tableBlock) {
    evidence.push_back("table " + memoryRefName(*call.tableBlock));
    if (call.tableBlock->kind == MemoryRef::Kind::Pool) {
      return result(Verdict::Fail, "the table was handed off but never freed", evidence);
    }
  }
  evidence.push_back(fmt::format("{} entries", call.table->entries.size()));
  return result(Verdict::Pass, "handed off once, with a valid 40-byte message and table, then freed",
                evidence);
}

CheckResult s3ResumeCheck(const BootRecord &r) {
  if (!r.s3.resume || !r.s3.resume->ran) {
    return result(Verdict::NotApplicable, "the platform did not sleep and resume");
  }
  const S3ResumeResult &resume = *r.s3.resume;
  std::vector<std::string> evidence, problems;
  for (const ReplayedRegister &reg : resume.registers) {
    if (!reg.matches()) {
      evidence.push_back(fmt::format("{}: {} at Ready to Boot, {} after resume", hex(reg.address),
                                     reg.beforeSleep ? hex(*reg.beforeSleep) : "unreachable",
                                     reg.afterResume ? hex(*reg.afterResume) : "unreachable"));
    }
  }
  for (const UnrestoredRegister &reg : resume.unrestored) {
    evidence.push_back(
        fmt::format("{:02X}:{:02X}.{:X}+{}: {} at Ready to Boot, {} after resume, not replayed",
                    reg.location.bus, reg.location.device, reg.location.function, hex(reg.offset),
                    hex(reg.beforeSleep), hex(reg.afterResume)));
  }
  if (resume.mismatches() != 0) {
    problems.push_back(fmt::format("{} replayed registers differ from Ready to Boot", resume.mismatches()));
  }
  if (!resume.unrestored.empty()) {
    problems.push_back(fmt::format("{} registers lost and not restored", resume.unrestored.size()));
  }
  if (problems.empty()) {
    return result(Verdict::Pass,
                  fmt::format("{} registers equal their Ready-to-Boot values", resume.registers.size()),
                  evidence);
  }
  return result(Verdict::Fail, joined(problems), evidence);
}

CheckResult failRulesCheck(const BootRecord &r) {
  if (r.failureRules.empty()) {
    return result(Verdict::NotApplicable, "the board injects no failures");
  }
  std::vector<std::string> evidence, idle;
  bool anyFired = !r.injected.empty();
  for (size_t i = 0; i < r.failureRules.size(); i++) {
    const FailureRuleRecord &rule = r.failureRules[i];
    std::string call = rule.call == 0 ? std::string("any") : std::to_string(rule.call);
    auto made = r.serviceCalls.find(rule.service);
    unsigned calls = made == r.serviceCalls.end() ? 0 : made->second;
    evidence.push_back(fmt::format(
        "rule {}: {} call {}{} -> {}: hit {} times; {} calls made", i + 1, rule.service, call,
        rule.guid ? " about " + guidDisplayName(*rule.guid) : "", statusName(rule.status), rule.hits, calls));
    // A call an earlier failure kept from being made is not the board's
    // mistake: the path changed.
    bool removed = anyFired && rule.call != 0 && calls < rule.call;
    // An earlier rule that failed the same call wins it.
    bool shadowed = std::any_of(r.injected.begin(), r.injected.end(), [&](const FailureHitRecord &hit) {
      return hit.rule < i && hit.service == rule.service && (rule.call == 0 || hit.call == rule.call);
    });
    if (rule.hits == 0 && !removed && !shadowed) {
      idle.push_back(fmt::format("rule {} ({} call {})", i + 1, rule.service, call));
    }
  }
  if (!idle.empty()) {
    return result(Verdict::Fail, "never fired: " + joined(idle, ", "), evidence);
  }
  return result(
      Verdict::Pass,
      "every failure rule fired, or its call was failed by an earlier rule or not made once another failed",
      evidence);
}

CheckResult failurePathCheck(const BootRecord &r) {
  if (r.injected.empty()) {
    return result(Verdict::NotApplicable, "no failure was injected");
  }
  std::vector<std::string> how;
  for (const FailureHitRecord &hit : r.injected) {
    bool asserted = std::any_of(r.assertions.begin(), r.assertions.end(),
                                [&hit](const AssertionRecord &a) { return a.code == hitCodeName(hit); });
    const SilentPath *path = findSilentPath(hit);
    if (path != nullptr) {
      how.push_back(fmt::format("{}: {}: {}", hitName(hit), path->step, path->consequence));
      continue;
    }
    if (asserted) {
      how.push_back(fmt::format("{}: asserted", hitName(hit)));
      continue;
    }
    if (answerWithoutStatus(hit.service) && r.assertions.empty()) {
      how.push_back(
          fmt::format("{}: {}, the usual answer here", hitName(hit), *answerWithoutStatus(hit.service)));
      continue;
    }
    return result(
        Verdict::Fail,
        fmt::format("{} failed without an assertion, and no silent path is documented for it", hitName(hit)),
        how);
  }
  return result(Verdict::Pass, joined(how), how);
}

// What the board gives that the images never asked for is listed; what
// looks like a slip for something they did ask for (a name one letter off,
// a value off in case or spacing) is a warning: the boot went on as if the
// board had not set it.
CheckResult nearMissesCheck(const BootRecord &r) {
  if (r.haltReason) {
    return result(Verdict::NotApplicable, "the machine halted: not every lookup was made");
  }
  std::vector<std::string> slips, unasked;
  for (const NearMissRecord &miss : r.nearMisses) {
    (miss.closest ? slips : unasked).push_back(nearMissText(miss));
  }
  std::vector<std::string> evidence = slips;
  evidence.insert(evidence.end(), unasked.begin(), unasked.end());
  if (!slips.empty()) {
    return result(Verdict::Warn, joined(slips, ", "), evidence);
  }
  return result(Verdict::Pass, "nothing the board gives looks like a slip for what the images asked for",
                evidence);
}

struct CheckDefinition {
  CheckInfo info;
  std::function<CheckResult(const BootRecord &)> run;
};

constexpr std::string_view kPciEnum = "KeshOnPciEnumComplete";
constexpr std::string_view kEndOfDxe = "KeshOnEndOfDxe";
constexpr std::string_view kHandOff = "OrunS3SaveCloseTableCallBack";
constexpr std::string_view kReadyToLock = "S3ScriptLockNotify";

const std::vector<CheckDefinition> &definitions() {
  static const std::vector<CheckDefinition> kChecks = {
      {{"entry", {}, false, true}, entryCheck},
      {{"halt", {}, false, true}, haltCheck},
      {{"events.closed", {kPciEnum, kEndOfDxe, kHandOff, kReadyToLock}}, eventsClosedCheck},
      {{"events.once", {}, false, true}, eventsOnceCheck},
      {{"runtime-mmio", {kPciEnum}}, runtimeMmioCheck},
      {{"spi.protect", {kEndOfDxe}}, spiProtectCheck},
      {{"spi.lock", {kEndOfDxe}}, spiLockCheck},
      {{"spi.armed-before-ports", {kEndOfDxe}}, spiArmedCheck},
      {{"usb-policy", {kEndOfDxe}}, usbPolicyCheck},
      {{"sata-policy", {kEndOfDxe}}, sataPolicyCheck},
      {{"console", {}}, consoleCheck},
      {{"assertions", {}, true}, assertionsCheck},
      {{"breakpoints", {}, true}, breakpointsCheck},
      {{"fatal-stops", {}, true}, fatalStopsCheck},
      {{"pool.leaks", {kHandOff, kReadyToLock}, true}, poolLeaksCheck},
      {{"pool.misuse", {}, false, true}, poolMisuseCheck},
      {{"s3.handoff", {kHandOff, kReadyToLock}, false, true}, s3HandoffCheck},
      {{"s3.resume", {kHandOff}}, s3ResumeCheck},
      {{"board.fail-rules", {}}, failRulesCheck},
      {{"board.near-misses", {}}, nearMissesCheck},
      {{"failure-path", {}}, failurePathCheck},
  };
  return kChecks;
}

// The injected failure that decides a check's outcome, if one does: a
// silent path that names it, or an asserted failure in a routine whose work
// it judges (the entry wires every routine).
const FailureHitRecord *decidingFailure(const BootRecord &r, const CheckInfo &check) {
  for (const FailureHitRecord &hit : r.injected) {
    if (const SilentPath *path = findSilentPath(hit)) {
      if (std::find(path->decides.begin(), path->decides.end(), check.name) != path->decides.end()) {
        return &hit;
      }
      continue;
    }
    bool judged =
        std::find(check.routines.begin(), check.routines.end(), hit.function) != check.routines.end();
    if (judged || (hit.function == "entry" && !check.routines.empty())) {
      return &hit;
    }
  }
  return nullptr;
}

CheckResult judge(const BootRecord &r, const CheckDefinition &check) {
  CheckResult out = check.run(r);
  out.name = std::string(check.info.name);
  if (out.verdict == Verdict::Fail) {
    if (const FailureHitRecord *hit = decidingFailure(r, check.info)) {
      out.verdict = Verdict::NotApplicable;
      out.evidence.insert(out.evidence.begin(), "without the failure: " + out.reason);
      out.reason =
          fmt::format("decided by the injected failure of {} (judged by failure-path)", hitName(*hit));
    }
  }
  return out;
}

} // namespace

const std::vector<CheckInfo> &checks() {
  static const std::vector<CheckInfo> kInfo = [] {
    std::vector<CheckInfo> out;
    for (const CheckDefinition &check : definitions()) {
      out.push_back(check.info);
    }
    return out;
  }();
  return kInfo;
}

const CheckInfo &checkInfo(std::string_view name) {
  for (const CheckInfo &info : checks()) {
    if (info.name == name) {
      return info;
    }
  }
  throw std::logic_error("no check " + std::string(name));
}

const std::vector<std::string_view> &checkNames() {
  static const std::vector<std::string_view> kNames = [] {
    std::vector<std::string_view> names;
    for (const CheckDefinition &check : definitions()) {
      names.push_back(check.info.name);
    }
    return names;
  }();
  return kNames;
}

void validateExpectations(const Board &board) {
  for (const auto &entry : board.expectations) {
    const std::string &name = entry.first;
    const Expectation &expectation = entry.second;
    auto found = std::find_if(definitions().begin(), definitions().end(),
                              [&name](const CheckDefinition &check) { return check.info.name == name; });
    const std::string &where = expectation.where.empty() ? board.source : expectation.where;
    if (found == definitions().end()) {
      std::string known;
      for (std::string_view check : checkNames()) {
        known += (known.empty() ? "" : ", ") + std::string(check);
      }
      std::string near = didYouMean(name, checkNames());
      throw BoardError(fmt::format("{}: expect: \"{}\" is no check{}", where, name,
                                   near.empty() ? fmt::format(" (checks: {})", known) : near));
    }
    if (expectation.count && !found->info.counts) {
      throw BoardError(
          fmt::format("{}: expect: {}: the check counts nothing; give only a verdict", where, name));
    }
  }
}

void refuseUnexplainedExpectations(const Board &board) {
  for (const auto &[name, expectation] : board.expectations) {
    if (expectation.reason.empty()) {
      throw BoardError(
          fmt::format("{}: expect: {}: no reason given (--strict wants one for every expectation)",
                      expectation.where.empty() ? board.source : expectation.where, name));
    }
  }
}

std::vector<CheckResult> runChecks(const BootRecord &record, const Board &board) {
  std::vector<CheckResult> out;
  for (const CheckDefinition &check : definitions()) {
    CheckResult r = judge(record, check);
    auto expected = board.expectations.find(r.name);
    if (expected != board.expectations.end()) {
      r.expected = expected->second;
    }
    out.push_back(std::move(r));
  }
  return out;
}

CheckResult runCheck(const BootRecord &record, std::string_view name) {
  for (const CheckDefinition &check : definitions()) {
    if (check.info.name == name) {
      return judge(record, check);
    }
  }
  throw std::logic_error("no check " + std::string(name));
}

} // namespace sim
