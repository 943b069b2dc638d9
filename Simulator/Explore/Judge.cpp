// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore/Judge.h"

#include "Boot/Report.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>

namespace sim::explore {

namespace {

std::string spiState(const BootRecord &r) {
  if (!r.spi) {
    return "no controller";
  }
  const SpiRecord &spi = *r.spi;
  std::string state = spi.lock ? "locked" : spi.protect ? "protected" : "open";
  if (spi.after.restrictedCmd != spi.before.restrictedCmd ||
      spi.after.restrictedCmd2 != spi.before.restrictedCmd2) {
    state += fmt::format(", opcodes 0x{:08X} 0x{:08X}", spi.after.restrictedCmd, spi.after.restrictedCmd2);
  }
  if (spi.writeBufferEnabled) {
    state += ", write buffer on";
  }
  return state;
}

std::string runtimeMmio(const BootRecord &r) {
  auto runtime = [&r](uint64_t address) {
    for (const GcdRange &range : r.gcd) {
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
  if (r.spi && runtime(r.spi->base)) {
    pages.push_back("SPI");
  }
  return pages.empty() ? "none" : fmt::format("{}", fmt::join(pages, "+"));
}

std::string usbState(const BootRecord &r) {
  if (!r.usbPortControlInstalled) {
    return "no protocol";
  }
  if (r.portMaskCalls.empty()) {
    return "not called";
  }
  std::vector<std::string> masks;
  for (const PortMaskCall &call : r.portMaskCalls) {
    masks.push_back(fmt::format("0x{:X}", call.mask & call.value));
  }
  return fmt::format("{}", fmt::join(masks, " "));
}

std::string hubState(const BootRecord &r) {
  if (!r.mc5744Installed) {
    return "no protocol";
  }
  if (r.hubCalls.empty()) {
    return "not called";
  }
  return fmt::format("enables {}{}{}{}", r.hubEnables[0], r.hubEnables[1], r.hubEnables[2], r.hubEnables[3]);
}

std::string sataState(const BootRecord &r) {
  std::vector<std::string> changed;
  for (const DieRecord &die : r.dies) {
    if (die.portDisable != die.portDisableAtReset) {
      changed.push_back(fmt::format("die{} 0x{:08X}", die.die, die.portDisable));
    }
  }
  return changed.empty() ? "unchanged" : fmt::format("{}", fmt::join(changed, " "));
}

std::string pcdState(const BootRecord &r) {
  std::vector<std::string> writes;
  for (const PcdWriteRecord &write : r.pcdWrites) {
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

std::string handOffState(const BootRecord &r) {
  if (!r.s3.smmInstalled) {
    return "no protocol";
  }
  if (r.s3.smmCalls.empty()) {
    return "none";
  }
  std::vector<std::string> calls;
  for (const SmmCallRecord &call : r.s3.smmCalls) {
    calls.push_back(call.accepted
                        ? fmt::format("accepted ({} entries)", call.table ? call.table->entries.size() : 0)
                    : call.injected ? "failed"
                                    : "refused");
  }
  return fmt::format("{}", fmt::join(calls, ", "));
}

std::string resumeState(const BootRecord &r) {
  if (!r.s3.resume || !r.s3.resume->ran) {
    return "not run";
  }
  const S3ResumeResult &result = *r.s3.resume;
  return fmt::format("{} replayed, {} mismatches, {} unrestored", result.replayed, result.mismatches(),
                     result.unrestored.size());
}

std::vector<std::string> multisetDifference(std::vector<std::string> a, std::vector<std::string> b) {
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  std::vector<std::string> out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

} // namespace

bool unexpected(const CheckResult &check) {
  return check.expected ? !check.asExpected() && check.verdict != Verdict::Warn
                        : check.verdict == Verdict::Fail;
}

bool violation(const std::vector<CheckResult> &checks) {
  return std::any_of(checks.begin(), checks.end(), unexpected);
}

BootEffects captureEffects(const BootRecord &r) {
  BootEffects effects;
  effects.fields = {
      {"entry", r.entryStatus ? statusName(*r.entryStatus) : "not run"},
      {"halt", r.haltDetail.value_or("none")},
      {"spi", spiState(r)},
      {"runtime mmio", runtimeMmio(r)},
      {"usb mask", usbState(r)},
      {"hub", hubState(r)},
      {"sata", sataState(r)},
      {"pcd", pcdState(r)},
      {"s3 hand-off", handOffState(r)},
      {"s3 resume", resumeState(r)},
      // An assertion's trap shows even when its report could not be
      // printed (before the console is set up).
      {"breakpoints", fmt::format("{}", r.breakpoints)},
  };
  for (const AssertionRecord &assertion : r.assertions) {
    effects.assertions.push_back(
        assertion.reportWritten
            ? fmt::format("{}({}): {}", assertion.file, assertion.line, assertion.expression)
            : fmt::format("a trap without a report in {}", assertion.code));
  }
  effects.diagnostics = r.diagnostics;
  return effects;
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
  for (const std::string &assertion : multisetDifference(after.assertions, before.assertions)) {
    changes.push_back("assertion added: " + assertion);
  }
  for (const std::string &assertion : multisetDifference(before.assertions, after.assertions)) {
    changes.push_back("assertion gone: " + assertion);
  }
  for (const std::string &line : multisetDifference(after.diagnostics, before.diagnostics)) {
    changes.push_back("diagnostic: " + line);
  }
  return changes;
}

nlohmann::json toJson(const CheckResult &check) {
  nlohmann::json out = {{"check", check.name},
                        {"verdict", verdictName(check.verdict)},
                        {"reason", check.reason},
                        {"count", check.count ? nlohmann::json(*check.count) : nlohmann::json(nullptr)},
                        {"expected", nullptr}};
  if (check.expected) {
    out["expected"] = {
        {"verdict", verdictName(check.expected->verdict)},
        {"count", check.expected->count ? nlohmann::json(*check.expected->count) : nlohmann::json(nullptr)},
        {"reason", check.expected->reason}};
  }
  return out;
}

nlohmann::json toJson(const std::vector<CheckResult> &checks) {
  nlohmann::json out = nlohmann::json::array();
  for (const CheckResult &check : checks) {
    out.push_back(toJson(check));
  }
  return out;
}

std::vector<CheckResult> checksFromJson(const nlohmann::json &json) {
  std::vector<CheckResult> out;
  for (const auto &item : json) {
    CheckResult check;
    check.name = item.at("check").get<std::string>();
    check.verdict = parseVerdict(item.at("verdict").get<std::string>()).value_or(Verdict::Fail);
    check.reason = item.at("reason").get<std::string>();
    if (!item.at("count").is_null()) {
      check.count = item.at("count").get<size_t>();
    }
    if (const auto &expected = item.at("expected"); !expected.is_null()) {
      Expectation e;
      e.verdict = parseVerdict(expected.at("verdict").get<std::string>()).value_or(Verdict::Pass);
      if (!expected.at("count").is_null()) {
        e.count = expected.at("count").get<size_t>();
      }
      // Results written before expectations carried a reason have none.
      e.reason = expected.value("reason", std::string{});
      check.expected = e;
    }
    out.push_back(std::move(check));
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
