// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Checks.h"

#include <fmt/format.h>

#include <algorithm>
#include <functional>

namespace sim {

namespace {

constexpr uint64_t kAcpiMmioPage = 0xFED80000;
constexpr uint64_t kMemoryRuntime = 0x8000000000000000ULL;
constexpr uint64_t kMemoryUc = 0x1;
constexpr uint32_t kPwdSelector = 8;

std::string hex(uint64_t value) {
  return fmt::format("0x{:X}", value);
}

CheckResult result(std::string verdict, std::string reason, std::vector<std::string> evidence = {}) {
  return CheckResult{"", std::move(verdict), std::move(reason), std::move(evidence), std::nullopt};
}

// "a; b; c": the reasons of one verdict, in the order found.
std::string joined(const std::vector<std::string> &reasons) {
  std::string text;
  for (const std::string &reason : reasons) {
    text += (text.empty() ? "" : "; ") + reason;
  }
  return text;
}

bool stepAfterLoad(const BootRecord &r, std::string_view step) {
  bool loaded = false;
  for (const RecordedStep &s : r.timeline) {
    if (loaded && s.step == step) {
      return true;
    }
    loaded |= s.step == "load";
  }
  return false;
}

bool stepAnywhere(const BootRecord &r, std::string_view step) {
  return std::any_of(r.timeline.begin(), r.timeline.end(),
                     [step](const RecordedStep &s) { return s.step == step; });
}

bool injects(const Board &board) {
  return !board.failures.empty();
}

CheckResult entryCheck(const BootRecord &r, const Board &) {
  if (!r.entryStatus) {
    return result("fail", "the driver entry never returned", {r.haltDetail.value_or("")});
  }
  if (*r.entryStatus != "Success") {
    return result("fail", fmt::format("the driver entry returned {}", *r.entryStatus));
  }
  return result("pass", "the driver entry returned Success");
}

// The step whose protocol installation a notify waits for.
std::optional<std::string_view> protocolStep(const std::string &protocol) {
  if (protocol == "PCI Enumeration Complete") {
    return "pci-enumeration-complete";
  }
  if (protocol == "DXE SMM Ready To Lock") {
    return "smm-ready-to-lock";
  }
  return std::nullopt;
}

CheckResult eventsCheck(const BootRecord &r, const Board &board) {
  std::vector<std::string> open, evidence;
  unsigned owned = 0;
  for (const RecordedEvent &event : r.events) {
    if (event.owner != "KeshInitDxe" || event.type == "exit-boot-services" ||
        event.group == std::optional<std::string>("Exit Boot Services")) {
      continue;
    }
    owned++;
    bool triggered = event.signals > 0;
    if (event.notifyProtocol) {
      auto step = protocolStep(*event.notifyProtocol);
      triggered = step && stepAnywhere(r, *step);
    }
    std::string name = event.notifyFunction.empty() ? event.subject : event.notifyFunction;
    evidence.push_back(
        fmt::format("{}: notified {}x, {}", name, event.notifies, event.closed ? "closed" : "open"));
    if (triggered && !event.closed) {
      open.push_back(name);
    }
  }
  if (owned == 0) {
    return result("not-applicable", "the driver created no notify events", evidence);
  }
  if (!open.empty()) {
    std::string names;
    for (const std::string &name : open) {
      names += (names.empty() ? "" : ", ") + name;
    }
    return result(injects(board) ? "warn" : "fail", fmt::format("left open after it ran: {}", names),
                  evidence);
  }
  return result("pass", "every notify event that ran was closed", evidence);
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
    if (address >= range.base && address - range.base < range.length) {
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

CheckResult runtimeMmioCheck(const BootRecord &r, const Board &) {
  if (!stepAnywhere(r, "pci-enumeration-complete")) {
    return result("not-applicable", "PCI enumeration never completed");
  }
  std::vector<std::string> problems, evidence;
  PageAttributes acpi = pageAttributes(r, kAcpiMmioPage);
  evidence.push_back(fmt::format("ACPI MMIO page {}: attributes {} -> {}, allocated by {}",
                                 hex(kAcpiMmioPage), hex(acpi.before), hex(acpi.after),
                                 acpi.owner.empty() ? "nobody" : acpi.owner));
  if (acpi.owner != "KeshInitDxe") {
    problems.push_back("the ACPI MMIO page is not allocated by the driver");
  }
  if ((acpi.after & (acpi.before | kMemoryRuntime | kMemoryUc)) !=
      (acpi.before | kMemoryRuntime | kMemoryUc)) {
    problems.push_back("the ACPI MMIO page lacks UC|RUNTIME added to its attributes");
  }
  if (r.spi) {
    uint64_t page = r.spi->base & ~uint64_t{0xFFF};
    PageAttributes spi = pageAttributes(r, page);
    evidence.push_back(fmt::format("SPI page {}: attributes {} -> {}, allocated by {}", hex(page),
                                   hex(spi.before), hex(spi.after),
                                   spi.owner.empty() ? "nobody" : spi.owner));
    if (!spi.found || (spi.after & kMemoryRuntime) == 0 || spi.after != (spi.before | kMemoryRuntime)) {
      problems.push_back("the SPI page does not have exactly RUNTIME added");
    }
    if (!spi.owner.empty() && spi.owner != "another owner") {
      problems.push_back("the SPI page was allocated");
    }
    evidence.push_back(fmt::format("SPI register 0x1D = {}", hex(r.spi->after.reg1D)));
    if (!r.spi->writeBufferEnabled) {
      problems.push_back("WriteBufferEn is clear");
    }
  }
  if (!problems.empty()) {
    return result("fail", joined(problems), evidence);
  }
  return result("pass",
                r.spi ? "ACPI MMIO and SPI pages reported as runtime MMIO, WriteBufferEn set"
                      : "ACPI MMIO page reported as runtime MMIO; no valid SPI base, so no SPI page",
                evidence);
}

std::vector<std::string> spiEvidence(const SpiRecord &spi) {
  return {
      fmt::format("SPI base {}", hex(spi.base)),
      fmt::format("SpiControl {} -> {}", hex(spi.before.control), hex(spi.after.control)),
      fmt::format("RestrictedCmd {} -> {}", hex(spi.before.restrictedCmd), hex(spi.after.restrictedCmd)),
      fmt::format("RestrictedCmd2 {} -> {}", hex(spi.before.restrictedCmd2), hex(spi.after.restrictedCmd2)),
      fmt::format("register 0x1D {} -> {}", hex(spi.before.reg1D), hex(spi.after.reg1D))};
}

CheckResult spiProtectCheck(const BootRecord &r, const Board &) {
  if (!r.spi) {
    return result("warn", "no valid SPI base: the flash stays unprotected");
  }
  if (!stepAfterLoad(r, "end-of-dxe")) {
    return result("not-applicable", "End of DXE never reached the driver");
  }
  auto evidence = spiEvidence(*r.spi);
  if (r.spi->armedAt) {
    evidence.push_back(fmt::format("protect bit written at trace entry {}", *r.spi->armedAt));
  }
  return r.spi->protect ? result("pass", "the protect bit is set", evidence)
                        : result("fail", "the protect bit is clear after End of DXE", evidence);
}

CheckResult spiLockCheck(const BootRecord &r, const Board &board) {
  bool pwd = board.identity && board.identity->states.count(kPwdSelector) != 0 &&
             board.identity->states.at(kPwdSelector) == 1;
  if (!pwd) {
    return result("not-applicable", "the identity protocol does not report the PWD as inserted");
  }
  if (!r.spi) {
    return result("not-applicable", "no valid SPI base");
  }
  if (!stepAfterLoad(r, "end-of-dxe")) {
    return result("not-applicable", "End of DXE never reached the driver");
  }
  std::vector<std::string> problems;
  auto evidence = spiEvidence(*r.spi);
  if (!r.spi->lock) {
    problems.push_back("the lock bit is clear");
  }
  for (const SpiOpcode &opcode : r.spi->opcodes) {
    if (!opcode.restricted) {
      problems.push_back(fmt::format("opcode {} ({}) is not restricted", hex(opcode.opcode), opcode.name));
    }
  }
  if (r.spi->spiControlBit22) {
    problems.push_back("SpiControl bit 22 is set");
  }
  if (problems.empty()) {
    return result("pass", "locked, all seven flash-writing opcodes restricted, SpiControl bit 22 clear",
                  evidence);
  }
  return result("fail", "PWD inserted but " + joined(problems), evidence);
}

CheckResult spiArmedCheck(const BootRecord &r, const Board &) {
  if (!r.spi || !r.spi->firstPortOffAt) {
    return result("not-applicable", "no USB, SD-card or SATA port was switched off");
  }
  std::vector<std::string> evidence = {fmt::format("first port switched off at trace entry {} ({})",
                                                   *r.spi->firstPortOffAt,
                                                   r.spi->firstPortOffBy.value_or(""))};
  if (!r.spi->armedAt) {
    return result("fail", "a port was switched off and protection was never armed", evidence);
  }
  evidence.push_back(fmt::format("protect bit written at trace entry {}", *r.spi->armedAt));
  return *r.spi->armedAt < *r.spi->firstPortOffAt
             ? result("pass", "protection was armed before the first port went off", evidence)
             : result("fail", "protection was armed after a port went off", evidence);
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

CheckResult usbPolicyCheck(const BootRecord &r, const Board &) {
  if (!r.expectedPolicy) {
    return result("not-applicable", "no expectation: " + r.policyNote);
  }
  const PolicyOutcome &want = *r.expectedPolicy;
  const PolicyOutcome &got = r.actualPolicy;
  std::vector<std::string> evidence = {
      fmt::format("SetPortMask calls: expected {}, made {}", masks(want.portMaskCalls),
                  masks(got.portMaskCalls)),
      fmt::format("hub enables: expected {}, applied {}", enables(want.hubEnables), enables(got.hubEnables))};
  std::vector<std::string> differences;
  if (want.portMaskCalls != got.portMaskCalls) {
    differences.push_back(fmt::format("SetPortMask calls {} where {} were due", masks(got.portMaskCalls),
                                      masks(want.portMaskCalls)));
  }
  if (want.hubEnables != got.hubEnables) {
    differences.push_back(
        fmt::format("hub enables {} where {} were due", enables(got.hubEnables), enables(want.hubEnables)));
  }
  if (differences.empty()) {
    return result("pass", "port groups and hub enables are what the settings call for", evidence);
  }
  return result("fail", joined(differences), evidence);
}

CheckResult sataPolicyCheck(const BootRecord &r, const Board &) {
  if (!r.expectedPolicy) {
    return result("not-applicable", "no expectation: " + r.policyNote);
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
  auto dieText = [](const std::map<uint8_t, uint32_t> &dies) {
    std::string out;
    for (const auto &[die, bits] : dies) {
      out += fmt::format("{}die {}: {}", out.empty() ? "" : ", ", die, hex(bits));
    }
    return out.empty() ? std::string("none") : out;
  };
  std::vector<std::string> evidence = {
      fmt::format("PCD 228-236: expected {}, written {}", pcdText(want.pcd), pcdText(got.pcd)),
      fmt::format("port-disable bits: expected {}, set {}", dieText(want.dieDisableBits),
                  dieText(got.dieDisableBits))};
  std::vector<std::string> differences;
  if (want.pcd != got.pcd) {
    differences.push_back(fmt::format("PCD {} where {} was due", pcdText(got.pcd), pcdText(want.pcd)));
  }
  if (want.dieDisableBits != got.dieDisableBits) {
    differences.push_back(fmt::format("port-disable bits {} where {} were due", dieText(got.dieDisableBits),
                                      dieText(want.dieDisableBits)));
  }
  if (differences.empty()) {
    return result("pass", "PCD tokens and die registers are what the settings call for", evidence);
  }
  return result("fail", joined(differences), evidence);
}

CheckResult consoleCheck(const BootRecord &r, const Board &) {
  const ConsoleRecord &c = r.console;
  std::vector<std::string> problems, evidence;
  for (const UartRecord &uart : c.uarts) {
    evidence.push_back(fmt::format("UART {}: {} bytes sent, {} never sent, {} lost{}", hex(uart.base),
                                   uart.bytes.size(), uart.pending, uart.lost,
                                   uart.present ? "" : ", not present"));
    if (!uart.present) {
      problems.push_back(fmt::format("UART {} is not present", hex(uart.base)));
    } else if (uart.lost != 0 || uart.pending != 0) {
      problems.push_back(
          fmt::format("UART {} lost {} and never sent {} bytes", hex(uart.base), uart.lost, uart.pending));
    }
  }
  if (!c.identical) {
    problems.push_back(fmt::format("the logs differ from byte {}", c.firstDifference.value_or(0)));
  }
  if (!c.sameSettings) {
    problems.push_back("the line settings differ");
  }
  if (problems.empty()) {
    return result("pass", "both UARTs carry the same bytes with the same line settings", evidence);
  }
  return result("fail", joined(problems), evidence);
}

CheckResult assertionsCheck(const BootRecord &r, const Board &board) {
  if (r.assertions.empty()) {
    return result("pass", "no assertion");
  }
  std::vector<std::string> evidence;
  for (const AssertionRecord &a : r.assertions) {
    evidence.push_back(a.reportWritten ? fmt::format("{}({}): {} in {} (trace entry {})", a.file, a.line,
                                                     a.expression, a.code, a.traceIndex)
                                       : fmt::format("trap {} without a report in {} (trace entry {})",
                                                     a.breakpoint, a.code, a.traceIndex));
  }
  return result(injects(board) ? "warn" : "fail", fmt::format("{} assertions", r.assertions.size()),
                evidence);
}

CheckResult breakpointsCheck(const BootRecord &r, const Board &board) {
  if (r.breakpoints == 0) {
    return result("pass", "no breakpoint trap");
  }
  return result(injects(board) ? "warn" : "fail", fmt::format("{} breakpoint traps", r.breakpoints));
}

CheckResult fatalStopsCheck(const BootRecord &r, const Board &board) {
  if (r.fatalStops.empty()) {
    return result("pass", "no fatal stop");
  }
  std::vector<std::string> evidence;
  for (const FatalStopRecord &stop : r.fatalStops) {
    evidence.push_back(fmt::format("code 0x{:08X}", stop.code));
  }
  return result(injects(board) ? "warn" : "fail", fmt::format("{} fatal stops", r.fatalStops.size()),
                evidence);
}

CheckResult poolCheck(const BootRecord &r, const Board &) {
  std::vector<std::string> evidence, leaks;
  bool tableLeft = false;
  for (const PoolRecord &block : r.pool) {
    evidence.push_back(fmt::format("{}: {} bytes {} of {}", block.name, block.size, block.type, block.owner));
    if (block.s3PrivateData && block.size == 16) {
      continue;
    }
    if (block.s3Table) {
      tableLeft = true;
      continue;
    }
    leaks.push_back(block.name);
  }
  if (!leaks.empty()) {
    std::string names;
    for (const std::string &name : leaks) {
      names += (names.empty() ? "" : ", ") + name;
    }
    return result("fail", "left allocated: " + names, evidence);
  }
  if (tableLeft) {
    return result("warn", "an S3 save table was never handed off and stays allocated", evidence);
  }
  return result("pass", "nothing left allocated but the S3 library's private data", evidence);
}

CheckResult s3HandoffCheck(const BootRecord &r, const Board &) {
  const S3Record &s3 = r.s3;
  bool recorded =
      !s3.smmCalls.empty() || s3.library.liveTable.has_value() || s3.library.tableBase.has_value();
  if (!recorded) {
    return result("not-applicable", "no S3 save table was recorded");
  }
  std::vector<std::string> evidence;
  for (size_t i = 0; i < s3.smmCalls.size(); i++) {
    const SmmCallRecord &call = s3.smmCalls[i];
    evidence.push_back(fmt::format("call {}: CommSize {}, {}{}", i + 1,
                                   call.commSize ? std::to_string(*call.commSize) : "NULL", call.status,
                                   call.accepted ? ", accepted" : ", refused: " + call.reason));
  }
  if (s3.smmCalls.empty()) {
    if (r.readyToBootSignals == 0) {
      return result("not-applicable", "Ready to Boot never came: the table was not due yet");
    }
    return result("fail", "a table was recorded but never handed off to SMM", evidence);
  }
  if (s3.smmCalls.size() != 1) {
    return result("fail", fmt::format("handed off {} times", s3.smmCalls.size()), evidence);
  }
  const SmmCallRecord &call = s3.smmCalls.front();
  if (!call.accepted) {
    return result("fail", "the hand-off was refused: " + call.reason, evidence);
  }
  if (call.commSize != std::optional<uint64_t>(40) || call.message.size() != 40) {
    return result("fail", "the message is not 40 bytes", evidence);
  }
  if (!call.table || !call.table->valid) {
    std::string problem =
        call.table && !call.table->problems.empty() ? call.table->problems.front() : "no table";
    return result("fail", "the table is malformed: " + problem, evidence);
  }
  evidence.push_back(fmt::format("{} entries", call.table->entries.size()));
  return result("pass", "handed off once, with a valid 40-byte message and table", evidence);
}

CheckResult s3ResumeCheck(const BootRecord &r, const Board &) {
  if (!r.s3.resume || !r.s3.resume->ran) {
    return result("not-applicable", "the platform did not sleep and resume");
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
    return result("pass",
                  fmt::format("{} registers equal their Ready-to-Boot values", resume.registers.size()),
                  evidence);
  }
  return result("fail", problems.size() == 1 ? problems[0] : problems[0] + "; " + problems[1], evidence);
}

CheckResult failRulesCheck(const BootRecord &r, const Board &) {
  if (r.failureRules.empty()) {
    return result("not-applicable", "the board injects no failures");
  }
  std::vector<std::string> evidence, idle;
  for (size_t i = 0; i < r.failureRules.size(); i++) {
    const FailureRuleRecord &rule = r.failureRules[i];
    std::string text = fmt::format("rule {}: {} call {}{} -> {}", i + 1, rule.service,
                                   rule.call == 0 ? std::string("any") : std::to_string(rule.call),
                                   rule.guid ? " about " + *rule.guid : "", rule.status);
    evidence.push_back(fmt::format("{}: hit {} times", text, rule.hits));
    if (rule.hits == 0) {
      idle.push_back(fmt::format("rule {} ({} call {})", i + 1, rule.service,
                                 rule.call == 0 ? std::string("any") : std::to_string(rule.call)));
    }
  }
  if (!idle.empty()) {
    std::string names;
    for (const std::string &name : idle) {
      names += (names.empty() ? "" : ", ") + name;
    }
    return result("fail", "never fired: " + names, evidence);
  }
  return result("pass", "every failure rule fired", evidence);
}

struct CheckDefinition {
  std::string_view name;
  std::function<CheckResult(const BootRecord &, const Board &)> run;
};

const std::vector<CheckDefinition> &definitions() {
  static const std::vector<CheckDefinition> kChecks = {
      {"entry", entryCheck},
      {"events", eventsCheck},
      {"runtime-mmio", runtimeMmioCheck},
      {"spi.protect", spiProtectCheck},
      {"spi.lock", spiLockCheck},
      {"spi.armed-before-ports", spiArmedCheck},
      {"usb-policy", usbPolicyCheck},
      {"sata-policy", sataPolicyCheck},
      {"console", consoleCheck},
      {"assertions", assertionsCheck},
      {"breakpoints", breakpointsCheck},
      {"fatal-stops", fatalStopsCheck},
      {"pool", poolCheck},
      {"s3.handoff", s3HandoffCheck},
      {"s3.resume", s3ResumeCheck},
      {"board.fail-rules", failRulesCheck},
  };
  return kChecks;
}

} // namespace

const std::vector<std::string_view> &checkNames() {
  static const std::vector<std::string_view> kNames = [] {
    std::vector<std::string_view> names;
    for (const CheckDefinition &check : definitions()) {
      names.push_back(check.name);
    }
    return names;
  }();
  return kNames;
}

bool isVerdict(std::string_view verdict) {
  return verdict == "pass" || verdict == "fail" || verdict == "warn" || verdict == "not-applicable";
}

void validateExpectations(const Board &board) {
  for (const auto &[name, verdict] : board.expectedVerdicts) {
    if (std::find(checkNames().begin(), checkNames().end(), name) == checkNames().end()) {
      std::string known;
      for (std::string_view check : checkNames()) {
        known += (known.empty() ? "" : ", ") + std::string(check);
      }
      throw BoardError(fmt::format("{}: expect: \"{}\" is no check (checks: {})", board.source, name, known));
    }
    if (!isVerdict(verdict)) {
      throw BoardError(fmt::format("{}: expect: {}: \"{}\" is no verdict (pass, fail, warn, not-applicable)",
                                   board.source, name, verdict));
    }
  }
}

std::vector<CheckResult> runChecks(const BootRecord &record, const Board &board) {
  std::vector<CheckResult> out;
  for (const CheckDefinition &check : definitions()) {
    CheckResult r = check.run(record, board);
    r.name = std::string(check.name);
    auto expected = board.expectedVerdicts.find(r.name);
    if (expected != board.expectedVerdicts.end()) {
      r.expected = expected->second;
    }
    out.push_back(std::move(r));
  }
  return out;
}

} // namespace sim
