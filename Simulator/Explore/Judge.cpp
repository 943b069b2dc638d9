// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore/Judge.h"

#include "Machine/DieRoot.h"
#include "Platform/SmmCommunication.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>

namespace sim::explore {

namespace {

Verdict pass(std::string check, std::string reason = "") {
  return Verdict{std::move(check), "pass", std::move(reason)};
}
Verdict fail(std::string check, std::string reason) {
  return Verdict{std::move(check), "fail", std::move(reason)};
}

bool contains(const std::string &text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

Verdict entryCheck(Simulation &simulation) {
  const auto &status = simulation.outcome().entryStatus;
  if (!status) {
    return fail("entry", "the driver's entry never returned");
  }
  if (*status != EFI_SUCCESS) {
    return fail("entry", fmt::format("the entry returned {}", statusName(*status)));
  }
  return pass("entry");
}

Verdict haltCheck(Simulation &simulation) {
  const auto &halt = simulation.outcome().halt;
  // A board that is expected to halt passes when it halts so, or when a
  // failure it was given turned the boot away before the halt.
  if (halt && halt->reason == simulation.board().expectedHalt) {
    return pass("halt", fmt::format("the machine halted as the board expects: {}", halt->detail));
  }
  if (halt) {
    return fail("halt", fmt::format("the machine halted: {}", halt->detail));
  }
  return pass("halt");
}

Verdict poolCheck(Simulation &simulation) {
  std::vector<std::string> problems;
  for (const std::string &line : simulation.core().diagnostics()) {
    if (contains(line, "use after free") || contains(line, "double free") || contains(line, "FreePool of") ||
        contains(line, "AllocatePool of")) {
      problems.push_back(line);
    }
  }
  if (problems.empty()) {
    return pass("pool");
  }
  std::string reason = problems.front();
  if (problems.size() > 1) {
    reason += fmt::format(" (and {} more)", problems.size() - 1);
  }
  return fail("pool", reason);
}

Verdict handOffCheck(Simulation &simulation) {
  const SmmCommunicationModel *smm = simulation.s3().smmCommunication();
  if (smm == nullptr) {
    return Verdict{"s3.handoff", "not-applicable", "no SMM Communication protocol"};
  }
  unsigned handled = 0;
  std::string refused;
  for (const SmmCommunicateCall &call : smm->calls()) {
    if (call.injected) {
      continue; // the handler never saw it
    }
    handled++;
    if (!call.accepted && refused.empty()) {
      refused = call.reason;
    }
  }
  if (handled > 1) {
    return fail("s3.handoff", fmt::format("the table was handed off {} times{}", handled,
                                          refused.empty() ? "" : fmt::format(" (refused: {})", refused)));
  }
  if (!refused.empty()) {
    return fail("s3.handoff", "malformed hand-off: " + refused);
  }
  return pass("s3.handoff", handled == 0 ? "no hand-off" : "handed off once");
}

Verdict eventsCheck(Simulation &simulation) {
  for (const EventInfo &event : simulation.core().events()) {
    if (event.group && event.owner != "DxeCore" && event.notifies > 1) {
      return Verdict{"events", "warn",
                     fmt::format("an event of {} in group {} ran its notify function {} times", event.owner,
                                 guidToString(*event.group), event.notifies)};
    }
  }
  return pass("events");
}

std::string spiState(Simulation &simulation) {
  const SpiController *spi = simulation.spi();
  if (spi == nullptr) {
    return "no controller";
  }
  SpiRegisters regs = spi->registers();
  std::string state = (regs.reg1D & 0x20) != 0 ? "locked" : (regs.reg1D & 0x08) != 0 ? "protected" : "open";
  if (regs.restrictedCmd != simulation.spiAtReset().restrictedCmd ||
      regs.restrictedCmd2 != simulation.spiAtReset().restrictedCmd2) {
    state += fmt::format(", opcodes 0x{:08X} 0x{:08X}", regs.restrictedCmd, regs.restrictedCmd2);
  }
  if ((regs.reg1D & 0x04) != 0) {
    state += ", write buffer on";
  }
  return state;
}

std::string runtimeMmio(Simulation &simulation) {
  auto runtime = [&](uint64_t address) {
    for (const GcdRange &range : simulation.core().gcdMap()) {
      if (address >= range.base && address - range.base < range.length) {
        return (range.attributes & EFI_MEMORY_RUNTIME) != 0;
      }
    }
    return false;
  };
  std::vector<std::string> pages;
  if (runtime(0xFED80000)) {
    pages.push_back("ACPI");
  }
  if (simulation.spiBase() != 0 && runtime(simulation.spiBase())) {
    pages.push_back("SPI");
  }
  return pages.empty() ? "none" : fmt::format("{}", fmt::join(pages, "+"));
}

std::string usbState(Simulation &simulation) {
  const UsbPortControlModel *usb = simulation.usbPortControl();
  if (usb == nullptr) {
    return "no protocol";
  }
  if (usb->calls().empty()) {
    return "not called";
  }
  std::vector<std::string> masks;
  for (const PortMaskCall &call : usb->calls()) {
    masks.push_back(fmt::format("0x{:X}", call.mask & call.value));
  }
  return fmt::format("{}", fmt::join(masks, " "));
}

std::string hubState(Simulation &simulation) {
  const Mc5744Model *hub = simulation.mc5744();
  if (hub == nullptr) {
    return "no protocol";
  }
  if (hub->calls().empty()) {
    return "not called";
  }
  auto enables = hub->applied();
  return fmt::format("enables {}{}{}{}", enables[0], enables[1], enables[2], enables[3]);
}

std::string sataState(Simulation &simulation) {
  std::vector<std::string> changed;
  std::map<uint8_t, uint32_t> reset;
  for (const BoardDie &die : simulation.board().dies) {
    auto it = die.indirect.find(DieRoot::kSataPortDisable);
    reset[die.number] = it == die.indirect.end() ? 0 : it->second;
  }
  for (const auto &[number, die] : simulation.dies()) {
    uint32_t now = die->indirect(DieRoot::kSataPortDisable);
    if (now != reset[number]) {
      changed.push_back(fmt::format("die{} 0x{:08X}", number, now));
    }
  }
  return changed.empty() ? "unchanged" : fmt::format("{}", fmt::join(changed, " "));
}

std::string pcdState(Simulation &simulation) {
  std::vector<std::string> writes;
  for (const PcdWrite &write : simulation.core().pcdWrites()) {
    // Tokens 214 and 215 hold host addresses, which differ from run to run.
    if (write.token == 214 || write.token == 215) {
      writes.push_back(fmt::format("{} set", write.token));
    } else {
      writes.push_back(fmt::format("{}=0x{:X}", write.token, write.value));
    }
    if (write.status != EFI_SUCCESS) {
      writes.back() += fmt::format(" ({})", statusName(write.status));
    }
  }
  return writes.empty() ? "none" : fmt::format("{}", fmt::join(writes, " "));
}

std::string handOffState(Simulation &simulation) {
  const SmmCommunicationModel *smm = simulation.s3().smmCommunication();
  if (smm == nullptr) {
    return "no protocol";
  }
  if (smm->calls().empty()) {
    return "none";
  }
  std::vector<std::string> calls;
  for (const SmmCommunicateCall &call : smm->calls()) {
    calls.push_back(call.accepted   ? fmt::format("accepted ({} entries)", call.decoded.entries.size())
                    : call.injected ? "failed"
                                    : "refused");
  }
  return fmt::format("{}", fmt::join(calls, ", "));
}

std::string resumeState(Simulation &simulation) {
  const auto &result = simulation.s3().resumeResult();
  if (!result || !result->ran) {
    return "not run";
  }
  return fmt::format("{} replayed, {} mismatches, {} unrestored", result->replayed, result->mismatches(),
                     result->unrestored.size());
}

} // namespace

bool failed(const std::vector<Verdict> &verdicts) {
  return std::any_of(verdicts.begin(), verdicts.end(), [](const Verdict &v) { return v.verdict == "fail"; });
}

Judge combineJudges(std::vector<Judge> judges) {
  return [judges = std::move(judges)](Simulation &simulation) {
    std::vector<Verdict> all;
    for (const Judge &judge : judges) {
      auto verdicts = judge(simulation);
      all.insert(all.end(), verdicts.begin(), verdicts.end());
    }
    return all;
  };
}

std::vector<Verdict> invariants(Simulation &simulation) {
  return {entryCheck(simulation), haltCheck(simulation), poolCheck(simulation), handOffCheck(simulation),
          eventsCheck(simulation)};
}

Judge defaultJudge() {
  return [](Simulation &simulation) { return invariants(simulation); };
}

BootEffects captureEffects(Simulation &simulation) {
  BootEffects effects;
  const BootOutcome &outcome = simulation.outcome();
  effects.fields = {
      {"entry", outcome.entryStatus ? statusName(*outcome.entryStatus) : "not run"},
      {"halt", outcome.halt ? outcome.halt->detail : "none"},
      {"spi", spiState(simulation)},
      {"runtime mmio", runtimeMmio(simulation)},
      {"usb mask", usbState(simulation)},
      {"hub", hubState(simulation)},
      {"sata", sataState(simulation)},
      {"pcd", pcdState(simulation)},
      {"s3 hand-off", handOffState(simulation)},
      {"s3 resume", resumeState(simulation)},
      // An assertion's trap, which shows even when its report could not be
      // printed (before the console is set up).
      {"breakpoints", fmt::format("{}", simulation.machine().breakpointCount())},
  };
  for (const AssertionRecord &assertion : simulation.assertions()) {
    effects.assertions.push_back(
        fmt::format("{}({}): {}", assertion.file, assertion.line, assertion.expression));
  }
  effects.diagnostics = simulation.core().diagnostics();
  return effects;
}

namespace {

std::vector<std::string> multisetDifference(std::vector<std::string> a, std::vector<std::string> b) {
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  std::vector<std::string> out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

} // namespace

std::vector<std::string> addedAssertions(const BootEffects &before, const BootEffects &after) {
  return multisetDifference(after.assertions, before.assertions);
}

std::vector<std::string> describeChanges(const BootEffects &before, const BootEffects &after) {
  std::vector<std::string> changes;
  std::map<std::string, std::string> old(before.fields.begin(), before.fields.end());
  for (const auto &[name, value] : after.fields) {
    auto it = old.find(name);
    if (it == old.end() || it->second != value) {
      changes.push_back(fmt::format("{}: {} -> {}", name, it == old.end() ? "?" : it->second, value));
    }
  }
  auto added = addedAssertions(before, after);
  auto gone = multisetDifference(before.assertions, after.assertions);
  for (const std::string &assertion : added) {
    changes.push_back("assertion added: " + assertion);
  }
  for (const std::string &assertion : gone) {
    changes.push_back("assertion gone: " + assertion);
  }
  for (const std::string &line : multisetDifference(after.diagnostics, before.diagnostics)) {
    changes.push_back("diagnostic: " + line);
  }
  return changes;
}

nlohmann::json toJson(const Verdict &verdict) {
  return {{"check", verdict.check}, {"verdict", verdict.verdict}, {"reason", verdict.reason}};
}

nlohmann::json toJson(const std::vector<Verdict> &verdicts) {
  nlohmann::json out = nlohmann::json::array();
  for (const Verdict &verdict : verdicts) {
    out.push_back(toJson(verdict));
  }
  return out;
}

std::vector<Verdict> verdictsFromJson(const nlohmann::json &json) {
  std::vector<Verdict> out;
  for (const auto &item : json) {
    out.push_back(Verdict{item.at("check").get<std::string>(), item.at("verdict").get<std::string>(),
                          item.at("reason").get<std::string>()});
  }
  return out;
}

nlohmann::json toJson(const BootEffects &effects) {
  nlohmann::json fields = nlohmann::json::array();
  for (const auto &[name, value] : effects.fields) {
    fields.push_back({name, value});
  }
  return {{"fields", fields}, {"assertions", effects.assertions}, {"diagnostics", effects.diagnostics}};
}

BootEffects effectsFromJson(const nlohmann::json &json) {
  BootEffects effects;
  for (const auto &pair : json.at("fields")) {
    effects.fields.emplace_back(pair.at(0).get<std::string>(), pair.at(1).get<std::string>());
  }
  effects.assertions = json.at("assertions").get<std::vector<std::string>>();
  effects.diagnostics = json.at("diagnostics").get<std::vector<std::string>>();
  return effects;
}

} // namespace sim::explore
