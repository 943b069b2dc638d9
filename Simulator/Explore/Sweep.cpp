// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore/Sweep.h"

#include "Explore/Isolation.h"

#include <PlatformProtocols.h>
#include <Protocol/DebugPrintSvc.h>
#include <Protocol/DxeSmmReadyToLock.h>
#include <Protocol/PciEnumerationComplete.h>

#include <fmt/format.h>

#include <algorithm>
#include <set>

namespace sim::explore {

namespace {

// How the isolation reports an exception thrown in the child.
constexpr std::string_view kExceptionMark = "exception: ";

struct ServiceDefault {
  std::string_view service;
  EFI_STATUS status;
};

// What each service answers when it fails: an error it can really return.
constexpr ServiceDefault kDefaults[] = {
    {"AllocatePool", EFI_OUT_OF_RESOURCES},
    {"FreePool", EFI_INVALID_PARAMETER},
    {"CreateEvent", EFI_OUT_OF_RESOURCES},
    {"CreateEventEx", EFI_OUT_OF_RESOURCES},
    {"SignalEvent", EFI_INVALID_PARAMETER},
    {"CloseEvent", EFI_INVALID_PARAMETER},
    {"CheckEvent", EFI_INVALID_PARAMETER},
    {"InstallProtocolInterface", EFI_OUT_OF_RESOURCES},
    {"ReinstallProtocolInterface", EFI_NOT_FOUND},
    {"UninstallProtocolInterface", EFI_NOT_FOUND},
    {"HandleProtocol", EFI_UNSUPPORTED},
    {"RegisterProtocolNotify", EFI_OUT_OF_RESOURCES},
    {"LocateHandle", EFI_NOT_FOUND},
    {"LocateProtocol", EFI_NOT_FOUND},
    {"InstallMultipleProtocolInterfaces", EFI_OUT_OF_RESOURCES},
    {"UninstallMultipleProtocolInterfaces", EFI_INVALID_PARAMETER},
    {"InstallConfigurationTable", EFI_OUT_OF_RESOURCES},
    {"ExitBootServices", EFI_INVALID_PARAMETER},
    {"CalculateCrc32", EFI_INVALID_PARAMETER},
    {"GetVariable", EFI_NOT_FOUND},
    {"SetVariable", EFI_OUT_OF_RESOURCES},
    {"AddMemorySpace", EFI_OUT_OF_RESOURCES},
    {"AllocateMemorySpace", EFI_NOT_FOUND},
    {"FreeMemorySpace", EFI_NOT_FOUND},
    {"GetMemorySpaceDescriptor", EFI_NOT_FOUND},
    {"SetMemorySpaceAttributes", EFI_UNSUPPORTED},
    {"GetMemorySpaceMap", EFI_OUT_OF_RESOURCES},
    {"PCD.Set8", EFI_NOT_FOUND},
    {"PCD.Set16", EFI_NOT_FOUND},
    {"PCD.Set32", EFI_NOT_FOUND},
    {"PCD.Set64", EFI_NOT_FOUND},
    {"PCD.SetBool", EFI_NOT_FOUND},
    {"OrvexNvramAttribute.GetAttribute", EFI_NOT_FOUND},
    {"VroPlatformId.GetIdPtr", EFI_DEVICE_ERROR},
    {"VroSata.GetSataConfig", EFI_DEVICE_ERROR},
    {"VroSata.GetPortList", EFI_NOT_READY},
    {"UsbPortControl.SetPortMask", EFI_DEVICE_ERROR},
    {"Mc5744.SetPortEnables", EFI_DEVICE_ERROR},
    {"Mc5744.ApplyConfig", EFI_DEVICE_ERROR},
    {"SmmCommunication.Communicate", EFI_ACCESS_DENIED},
};

// Services without a status answer something else when they fail.
std::optional<std::string> answerWithoutStatus(std::string_view service) {
  if (service.starts_with("PCD.Get")) {
    return "answers 0";
  }
  if (service == "VroPlatformId.QueryPlatformState") {
    return "answers 0xFF";
  }
  if (service == "DebugPrintSvc.DebugPrint") {
    return "line lost";
  }
  return std::nullopt;
}

std::string statusText(const std::string &service, EFI_STATUS status) {
  return answerWithoutStatus(service).value_or(statusName(status));
}

std::string field(const BootEffects &effects, const std::string &name) {
  for (const auto &[key, value] : effects.fields) {
    if (key == name) {
      return value;
    }
  }
  return "";
}

std::string callName(const SweepCall &call) {
  return fmt::format("{} call {}", call.service, call.call);
}

nlohmann::json callJson(const SweepCall &call) {
  nlohmann::json out = {{"service", call.service}, {"call", call.call},         {"image", call.image},
                        {"context", call.context}, {"failable", call.failable}, {"guid", nullptr}};
  if (call.guid) {
    out["guid"] = guidToString(*call.guid);
  }
  return out;
}

SweepCall callFromJson(const nlohmann::json &json) {
  SweepCall call;
  call.service = json.at("service").get<std::string>();
  call.call = json.at("call").get<unsigned>();
  call.image = json.at("image").get<std::string>();
  call.context = json.at("context").get<std::string>();
  call.failable = json.at("failable").get<bool>();
  if (!json.at("guid").is_null()) {
    call.guid = guidFromString(json.at("guid").get<std::string>());
  }
  return call;
}

// Whether each failed call showed: an assertion, a documented path, or
// nothing at all (a failure nobody would notice).
Verdict failurePathCheck(const std::vector<SweepCall> &failed, const std::vector<bool> &injected,
                         const BootEffects &baseline, const BootEffects &effects) {
  auto added = addedAssertions(baseline, effects);
  if (added.empty() && field(effects, "breakpoints") != field(baseline, "breakpoints")) {
    added.push_back("a trap whose report was lost (the console was not set up yet)");
  }
  std::vector<std::string> how;
  for (size_t i = 0; i < failed.size(); i++) {
    if (!injected[i]) {
      how.push_back(fmt::format("{} was not made once the other call failed", callName(failed[i])));
      continue;
    }
    if (!added.empty()) {
      continue;
    }
    if (answerWithoutStatus(failed[i].service) && effects == baseline) {
      how.push_back(fmt::format("{} changed nothing: its answer was the usual one", callName(failed[i])));
      continue;
    }
    const DocumentedPath *path = findDocumentedPath(failed[i].service, failed[i].guid, failed[i].context);
    if (path == nullptr) {
      return Verdict{"failure-path", "fail",
                     fmt::format("{} failed without an assertion, and no silent path is documented for it",
                                 callName(failed[i]))};
    }
    how.push_back("documented: " + path->what);
  }
  if (!added.empty()) {
    how.insert(how.begin(), "assertion: " + added.front());
  }
  return Verdict{"failure-path", "pass", fmt::format("{}", fmt::join(how, "; "))};
}

// One boot in the child: the board with its rules, judged.
std::string bootInChild(const Board &board, const SweepOptions &options, const std::vector<SweepCall> &fail,
                        const std::vector<EFI_STATUS> &statuses, bool recordCalls) {
  Board failing = board;
  for (size_t i = 0; i < fail.size(); i++) {
    failing.failures.push_back(FailureRule{fail[i].service, fail[i].call, statuses[i], std::nullopt});
  }
  Simulation simulation(failing, options.driverImage);
  simulation.run();
  nlohmann::json out;
  std::vector<Verdict> verdicts = invariants(simulation);
  if (options.judge) {
    auto more = options.judge(simulation);
    verdicts.insert(verdicts.end(), more.begin(), more.end());
  }
  out["verdicts"] = toJson(verdicts);
  out["effects"] = toJson(captureEffects(simulation));
  std::vector<bool> injected(fail.size(), false);
  // Once one failure changes the path, a later call number may name
  // another call than in the unfailed boot: what was failed is told anew.
  nlohmann::json actual = nlohmann::json::array();
  for (size_t i = 0; i < fail.size(); i++) {
    actual.push_back(callJson(fail[i]));
  }
  auto sweepCall = [&simulation](const ServiceCall &call) {
    std::string context = "entry";
    if (call.notify != 0) {
      context = simulation.functionIn(std::string(call.image), reinterpret_cast<const void *>(call.notify));
      if (context.empty()) {
        context = fmt::format("notify 0x{:X}", call.notify);
      }
    }
    return SweepCall{
        std::string(call.service), call.nth, std::string(call.image), context, call.guid, call.failable};
  };
  nlohmann::json calls = nlohmann::json::array();
  for (const ServiceCall &call : simulation.core().failures().log()) {
    for (size_t i = 0; i < fail.size(); i++) {
      if (call.injected && call.service == fail[i].service && call.nth == fail[i].call) {
        injected[i] = true;
        actual[i] = callJson(sweepCall(call));
      }
    }
    if (recordCalls && call.image != "DxeCore") {
      calls.push_back(callJson(sweepCall(call)));
    }
  }
  out["injected"] = injected;
  out["failed"] = actual;
  out["calls"] = calls;
  return out.dump();
}

SweepBoot fromIsolated(const IsolatedResult &isolated, const std::vector<SweepCall> &failed,
                       const std::vector<EFI_STATUS> &statuses, const BootEffects *baseline,
                       std::vector<SweepCall> *calls) {
  SweepBoot boot;
  boot.failed = failed;
  boot.statuses = statuses;
  if (isolated.kind != IsolatedResult::Kind::Ok) {
    boot.verdicts.push_back(Verdict{kindName(isolated.kind), "fail", isolated.detail});
    return boot;
  }
  nlohmann::json json = nlohmann::json::parse(isolated.result);
  for (size_t i = 0; i < boot.failed.size(); i++) {
    boot.failed[i] = callFromJson(json.at("failed").at(i));
  }
  boot.verdicts = verdictsFromJson(json.at("verdicts"));
  boot.effects = effectsFromJson(json.at("effects"));
  if (baseline != nullptr) {
    boot.verdicts.push_back(
        failurePathCheck(boot.failed, json.at("injected").get<std::vector<bool>>(), *baseline, boot.effects));
    boot.changes = describeChanges(*baseline, boot.effects);
  }
  if (calls != nullptr) {
    for (const auto &call : json.at("calls")) {
      calls->push_back(callFromJson(call));
    }
  }
  return boot;
}

std::string verdictWord(const SweepBoot &boot) {
  for (const Verdict &verdict : boot.verdicts) {
    if (verdict.verdict == "fail" &&
        (verdict.check == "crash" || verdict.check == "sanitizer" || verdict.check == "hang")) {
      return verdict.check;
    }
  }
  if (boot.violation()) {
    return "FAIL";
  }
  bool warned = std::any_of(boot.verdicts.begin(), boot.verdicts.end(),
                            [](const Verdict &v) { return v.verdict == "warn"; });
  return warned ? "warn" : "pass";
}

} // namespace

EFI_STATUS defaultFailureStatus(std::string_view service) {
  for (const ServiceDefault &entry : kDefaults) {
    if (entry.service == service) {
      return entry.status;
    }
  }
  return EFI_DEVICE_ERROR;
}

const std::vector<DocumentedPath> &documentedPaths() {
  static const std::vector<DocumentedPath> kPaths = {
      {"LocateProtocol", gEfiPciEnumerationCompleteProtocolGuid,
       "the PCI-enumeration notify returns without a word and stays armed"},
      {"LocateProtocol", gEfiDxeSmmReadyToLockProtocolGuid,
       "the SMM ready-to-lock notify returns and stays armed; S3 writes keep going to the boot script"},
      {"LocateProtocol", gVroPlatformIdProtocolGuid,
       "SPI protection goes on unlocked; the USB policy returns the status; the SATA routine prints its "
       "locate message"},
      {"LocateProtocol", gUsbPortControlProtocolGuid, "the USB policy returns the status, nothing switched"},
      {"LocateProtocol", gOrvexNvramAttributeProtocolGuid,
       "the USB policy returns the status; the SATA routine prints its locate message"},
      {"LocateProtocol", gVroSataProtocolGuid, "the SATA routine prints its locate message and returns"},
      {"LocateProtocol", gMc5744ProtocolGuid,
       "OrvexPlatformUsbDisable prints the locate status and returns it"},
      {"LocateProtocol", gDebugPrintSvcProtocolGuid, "the S3 save library's line is not printed"},
      {"CloseEvent", std::nullopt, "notify functions do not look at CloseEvent's result"},
      {"SignalEvent", std::nullopt,
       "the run at registration of a protocol notify is lost; it runs when the protocol is installed"},
      {"GetVariable", std::nullopt, "the error level takes any answer as not found"},
      {"OrvexNvramAttribute.GetAttribute", std::nullopt, "the attribute counts as not set"},
      {"VroPlatformId.GetIdPtr", std::nullopt,
       "the USB policy returns the status; the SATA routine prints its message"},
      {"VroPlatformId.QueryPlatformState", std::nullopt, "any answer but 1 means no PWD: not locked"},
      {"VroSata.GetSataConfig", std::nullopt, "the SATA routine returns success, nothing disabled"},
      {"VroSata.GetPortList", std::nullopt, "the SATA routine returns success, nothing disabled"},
      {"UsbPortControl.SetPortMask", std::nullopt, "its result is not looked at"},
      {"Mc5744.SetPortEnables", std::nullopt, "its result is not looked at"},
      {"Mc5744.ApplyConfig", std::nullopt, "its result is not looked at"},
      {"PCD.Set8", std::nullopt, "the SATA routine does not look at its PCD writes", "KeshOnEndOfDxe"},
      {"PCD.Set64", std::nullopt, "the SATA routine does not look at its PCD writes", "KeshOnEndOfDxe"},
      {"SmmCommunication.Communicate", std::nullopt, "the hand-off does not look at Communicate's result"},
      {"GetMemorySpaceDescriptor", std::nullopt,
       "the SPI base check cannot see memory-mapped I/O at the base: \"SPI Base Address is incorrect !!\", "
       "the SPI steps skipped",
       "KeshOnPciEnumComplete"},
      {"GetMemorySpaceDescriptor", std::nullopt,
       "the SPI base check cannot see memory-mapped I/O at the base: \"SPI Base Address is incorrect !!\", "
       "the SPI lock skipped",
       "KeshOnEndOfDxe"},
      {"PCD.Get64", std::nullopt,
       "a module that reads no shared private data takes the first module's path and creates its own",
       "entry"},
      {"DebugPrintSvc.DebugPrint", std::nullopt, "the service decides whether a line prints"},
  };
  return kPaths;
}

const DocumentedPath *findDocumentedPath(const std::string &service, const std::optional<EFI_GUID> &guid,
                                         const std::string &context) {
  for (const DocumentedPath &path : documentedPaths()) {
    if (path.service != service || (!path.context.empty() && path.context != context)) {
      continue;
    }
    if (path.guid && (!guid || !sameGuid(*path.guid, *guid))) {
      continue;
    }
    return &path;
  }
  return nullptr;
}

size_t SweepResult::violations() const {
  size_t count = baseline.violation() ? 1 : 0;
  for (const SweepBoot &boot : boots) {
    count += boot.violation() ? 1 : 0;
  }
  return count;
}

SweepResult runSweep(const Board &board, const SweepOptions &options) {
  SweepResult result;
  result.board = board.name;
  result.source = board.source;

  // The unfailed boot, isolated too: it may crash as well.
  std::optional<IsolatedResult> first;
  runIsolated(
      1, [&](size_t) { return bootInChild(board, options, {}, {}, true); },
      [&](size_t, IsolatedResult isolated) { first = std::move(isolated); }, 1, options.timeout);
  // A boot that cannot be built (a missing image) is an error, not a finding.
  if (first->kind == IsolatedResult::Kind::Crash && first->detail.find(kExceptionMark) != std::string::npos) {
    throw std::runtime_error(
        first->detail.substr(first->detail.find(kExceptionMark) + kExceptionMark.size()));
  }
  result.baseline = fromIsolated(*first, {}, {}, nullptr, &result.calls);

  auto statusFor = [&](const std::string &service) {
    auto it = options.statuses.find(service);
    return it != options.statuses.end() ? it->second : defaultFailureStatus(service);
  };
  auto wanted = [](const std::vector<std::string> &names, const std::string &service) {
    return names.empty() || std::find(names.begin(), names.end(), service) != names.end();
  };

  std::vector<std::vector<SweepCall>> plans;
  for (const SweepCall &call : result.calls) {
    if (call.failable && wanted(options.only, call.service)) {
      plans.push_back({call});
    }
  }
  if (!options.pairs.empty()) {
    std::vector<SweepCall> among;
    for (const SweepCall &call : result.calls) {
      if (call.failable &&
          std::find(options.pairs.begin(), options.pairs.end(), call.service) != options.pairs.end()) {
        among.push_back(call);
      }
    }
    size_t added = 0;
    for (size_t i = 0; i < among.size() && added < options.pairLimit; i++) {
      for (size_t j = i + 1; j < among.size() && added < options.pairLimit; j++) {
        plans.push_back({among[i], among[j]});
        added++;
      }
    }
  }

  result.boots.resize(plans.size());
  size_t finished = 0;
  auto statusesOf = [&](const std::vector<SweepCall> &plan) {
    std::vector<EFI_STATUS> statuses;
    for (const SweepCall &call : plan) {
      statuses.push_back(statusFor(call.service));
    }
    return statuses;
  };
  runIsolated(
      plans.size(),
      [&](size_t index) {
        return bootInChild(board, options, plans[index], statusesOf(plans[index]), false);
      },
      [&](size_t index, IsolatedResult isolated) {
        result.boots[index] =
            fromIsolated(isolated, plans[index], statusesOf(plans[index]), &result.baseline.effects, nullptr);
        if (options.progress) {
          options.progress(++finished, plans.size());
        }
      },
      options.jobs, options.timeout);
  return result;
}

std::string sweepText(const SweepResult &result) {
  std::string out;
  size_t unfailable = 0;
  std::set<std::string> services;
  for (const SweepCall &call : result.calls) {
    unfailable += call.failable ? 0 : 1;
    services.insert(call.service);
  }
  out += fmt::format("== Failure sweep of {} ({})\n", result.board, result.source);
  out += fmt::format("-- unfailed boot: {} calls to {} services by the images ({} cannot fail: no outcome "
                     "to change); {}\n",
                     result.calls.size(), services.size(), unfailable, verdictWord(result.baseline));
  for (const Verdict &verdict : result.baseline.verdicts) {
    if (verdict.verdict != "pass") {
      out += fmt::format("   {} {}: {}\n", verdict.verdict, verdict.check, verdict.reason);
    }
  }
  out += fmt::format("{:<34} {:>4}  {:<12} {:<30} {:<20} {}\n", "SERVICE", "CALL", "IMAGE", "CONTEXT",
                     "STATUS", "VERDICT");
  std::map<std::string, size_t> byWord;
  for (const SweepBoot &boot : result.boots) {
    std::string word = verdictWord(boot);
    byWord[word]++;
    for (size_t i = 0; i < boot.failed.size(); i++) {
      const SweepCall &call = boot.failed[i];
      out += fmt::format("{:<34} {:>4}  {:<12} {:<30} {:<20} {}\n", (i == 0 ? "" : "+ ") + call.service,
                         call.call, call.image, call.context, statusText(call.service, boot.statuses[i]),
                         i + 1 == boot.failed.size() ? word : "");
    }
    for (const Verdict &verdict : boot.verdicts) {
      if (verdict.verdict == "fail" || verdict.verdict == "warn") {
        out += fmt::format("      {} {}: {}\n", verdict.verdict, verdict.check, verdict.reason);
      }
    }
    for (const std::string &change : boot.changes) {
      out += fmt::format("      changed: {}\n", change);
    }
  }
  out += fmt::format("-- totals: {} boots", result.boots.size());
  for (const auto &[word, count] : byWord) {
    out += fmt::format(", {} {}", count, word);
  }
  out += fmt::format("; {} violation(s){}\n", result.violations(),
                     result.baseline.violation() ? " (the unfailed boot is one)" : "");
  return out;
}

nlohmann::json sweepJson(const SweepResult &result) {
  auto bootJson = [](const SweepBoot &boot) {
    nlohmann::json failed = nlohmann::json::array();
    for (size_t i = 0; i < boot.failed.size(); i++) {
      nlohmann::json call = callJson(boot.failed[i]);
      call["status"] = statusText(boot.failed[i].service, boot.statuses[i]);
      failed.push_back(call);
    }
    return nlohmann::json{{"failed", failed},
                          {"verdict", verdictWord(boot)},
                          {"violation", boot.violation()},
                          {"verdicts", toJson(boot.verdicts)},
                          {"changes", boot.changes},
                          {"effects", toJson(boot.effects)}};
  };
  nlohmann::json calls = nlohmann::json::array();
  for (const SweepCall &call : result.calls) {
    calls.push_back(callJson(call));
  }
  nlohmann::json boots = nlohmann::json::array();
  for (const SweepBoot &boot : result.boots) {
    boots.push_back(bootJson(boot));
  }
  return {{"board", result.board}, {"source", result.source}, {"baseline", bootJson(result.baseline)},
          {"calls", calls},        {"boots", boots},          {"violations", result.violations()}};
}

} // namespace sim::explore
