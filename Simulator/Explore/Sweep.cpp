// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore/Sweep.h"

#include "Explore/Isolation.h"

#include "Boot/FailureModel.h"
#include "Boot/Report.h"

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

std::string statusText(const std::string &service, EFI_STATUS status) {
  auto answer = answerWithoutStatus(service);
  return answer ? std::string(*answer) : statusName(status);
}

nlohmann::json callJson(const SweepCall &call) {
  nlohmann::json out = {{"service", call.service}, {"call", call.call},         {"image", call.image},
                        {"context", call.context}, {"failable", call.failable}, {"guid", nullptr}};
  if (call.guid) {
    out["guid"] = guidToString(*call.guid);
  }
  if (!call.subject.empty()) {
    out["subject"] = call.subject;
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
  // Results written before calls carried a subject have none.
  call.subject = json.value("subject", std::string{});
  return call;
}

// One boot in the child: the board with its rules, judged.
std::string bootInChild(const Board &board, const SweepOptions &options, const std::vector<SweepCall> &fail,
                        const std::vector<EFI_STATUS> &statuses, bool recordCalls) {
  Board failing = board;
  // The counts a board states are its unfailed boot's; the failure-path
  // and assertions checks judge what each injected failure adds.
  if (!fail.empty()) {
    for (auto &[name, expectation] : failing.expectations) {
      expectation.count.reset();
    }
  }
  for (size_t i = 0; i < fail.size(); i++) {
    failing.failures.push_back(FailureRule{fail[i].service, fail[i].call, statuses[i], std::nullopt});
  }
  Simulation simulation(failing, options.driverImage);
  simulation.run();
  nlohmann::json out;
  out["verdicts"] = toJson(simulation.record().checks);
  out["effects"] = toJson(captureEffects(simulation.record()));
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
    return SweepCall{std::string(call.service),
                     call.nth,
                     std::string(call.image),
                     context,
                     call.guid,
                     call.failable,
                     call.subject};
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
    CheckResult found;
    found.name = kindName(isolated.kind);
    found.verdict = Verdict::Fail;
    found.reason = isolated.detail;
    boot.verdicts.push_back(std::move(found));
    return boot;
  }
  nlohmann::json json = nlohmann::json::parse(isolated.result);
  for (size_t i = 0; i < boot.failed.size(); i++) {
    boot.failed[i] = callFromJson(json.at("failed").at(i));
  }
  boot.verdicts = checksFromJson(json.at("verdicts"));
  // A board's stated outcomes are its unfailed boot's: a failure that moves
  // a check off one without making it fail is what the failure-path check
  // judges, not a violation.
  if (!boot.failed.empty()) {
    for (CheckResult &check : boot.verdicts) {
      if (check.expected && !check.asExpected() && check.verdict != Verdict::Fail) {
        check.expected.reset();
      }
    }
  }
  boot.effects = effectsFromJson(json.at("effects"));
  if (baseline != nullptr) {
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
  for (const CheckResult &verdict : boot.verdicts) {
    if (verdict.verdict == Verdict::Fail &&
        (verdict.name == "crash" || verdict.name == "sanitizer" || verdict.name == "hang")) {
      return verdict.name;
    }
  }
  if (boot.violation()) {
    return "FAIL";
  }
  bool warned = std::any_of(boot.verdicts.begin(), boot.verdicts.end(), [](const CheckResult &v) {
    return v.verdict == Verdict::Warn && !v.asExpected();
  });
  return warned ? "warn" : "pass";
}

} // namespace

std::string callTarget(const SweepCall &call) {
  if (!call.subject.empty()) {
    return call.subject;
  }
  return call.guid ? guidDisplayName(*call.guid) : "-";
}

EFI_STATUS defaultFailureStatus(std::string_view service) {
  for (const ServiceDefault &entry : kDefaults) {
    if (entry.service == service) {
      return entry.status;
    }
  }
  return EFI_DEVICE_ERROR;
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

  // The plan's digest holds what the unfailed boot showed, so shards whose
  // unfailed boots differ are not merged.
  PlanDigest digest;
  digest.add("sweep").add(result.board).add(result.calls.size());
  for (const SweepCall &call : result.calls) {
    digest.add(call.service).add(call.call).add(call.image).add(call.context).add(call.failable ? 1 : 0);
  }
  digest.add(plans.size());
  for (const auto &plan : plans) {
    digest.add(plan.size());
    for (const SweepCall &call : plan) {
      digest.add(call.service).add(call.call).add(statusFor(call.service));
    }
  }
  result.plan = digest.hex();
  result.shard = options.shard;
  std::vector<size_t> ids;
  for (size_t id = 0; id < plans.size(); id++) {
    if (options.shard.has(id)) {
      ids.push_back(id);
    }
  }

  result.boots.resize(ids.size());
  size_t finished = 0;
  auto statusesOf = [&](const std::vector<SweepCall> &plan) {
    std::vector<EFI_STATUS> statuses;
    for (const SweepCall &call : plan) {
      statuses.push_back(statusFor(call.service));
    }
    return statuses;
  };
  runIsolated(
      ids.size(),
      [&](size_t index) {
        const auto &plan = plans[ids[index]];
        return bootInChild(board, options, plan, statusesOf(plan), false);
      },
      [&](size_t index, IsolatedResult isolated) {
        const auto &plan = plans[ids[index]];
        result.boots[index] =
            fromIsolated(isolated, plan, statusesOf(plan), &result.baseline.effects, nullptr);
        result.boots[index].id = ids[index];
        if (options.progress) {
          options.progress(++finished, ids.size());
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
  for (const CheckResult &verdict : result.baseline.verdicts) {
    if (verdict.verdict != Verdict::Pass) {
      out += fmt::format("   {} {}: {}\n", verdictName(verdict.verdict), verdict.name, verdict.reason);
    }
  }
  // As wide as the widest target, so that a GUID without a name keeps the
  // columns after it in line.
  size_t targetWidth = 6;
  for (const SweepBoot &boot : result.boots) {
    for (const SweepCall &call : boot.failed) {
      targetWidth = std::max(targetWidth, callTarget(call).size());
    }
  }
  out += fmt::format("{:<34} {:>4}  {:<12} {:<30} {:<{}} {:<20} {}\n", "SERVICE", "CALL", "IMAGE", "CONTEXT",
                     "TARGET", targetWidth, "STATUS", "VERDICT");
  std::map<std::string, size_t> byWord;
  for (const SweepBoot &boot : result.boots) {
    std::string word = verdictWord(boot);
    byWord[word]++;
    for (size_t i = 0; i < boot.failed.size(); i++) {
      const SweepCall &call = boot.failed[i];
      out +=
          fmt::format("{:<34} {:>4}  {:<12} {:<30} {:<{}} {:<20} {}\n", (i == 0 ? "" : "+ ") + call.service,
                      call.call, call.image, call.context, callTarget(call), targetWidth,
                      statusText(call.service, boot.statuses[i]), i + 1 == boot.failed.size() ? word : "");
    }
    for (const CheckResult &verdict : boot.verdicts) {
      if (explore::unexpected(verdict) || (verdict.verdict == Verdict::Warn && !verdict.asExpected()) ||
          verdict.name == "failure-path") {
        out += fmt::format("      {} {}: {}\n", verdictName(verdict.verdict), verdict.name, verdict.reason);
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
                          {"id", boot.id},
                          {"statuses", boot.statuses},
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
  return {{"board", result.board},
          {"source", result.source},
          {"baseline", bootJson(result.baseline)},
          {"calls", calls},
          {"boots", boots},
          {"violations", result.violations()},
          {"plan", result.plan},
          {"shard", {{"index", result.shard.index}, {"count", result.shard.count}}}};
}

SweepResult sweepFromJson(const nlohmann::json &json) {
  auto bootFrom = [](const nlohmann::json &in) {
    SweepBoot boot;
    boot.id = in.at("id").get<size_t>();
    for (const auto &call : in.at("failed")) {
      boot.failed.push_back(callFromJson(call));
    }
    boot.statuses = in.at("statuses").get<std::vector<EFI_STATUS>>();
    if (boot.statuses.size() != boot.failed.size()) {
      throw std::invalid_argument("a boot has not one status per failed call");
    }
    boot.verdicts = checksFromJson(in.at("verdicts"));
    boot.changes = in.at("changes").get<std::vector<std::string>>();
    boot.effects = effectsFromJson(in.at("effects"));
    return boot;
  };
  SweepResult result;
  result.board = json.at("board").get<std::string>();
  result.source = json.at("source").get<std::string>();
  result.baseline = bootFrom(json.at("baseline"));
  for (const auto &call : json.at("calls")) {
    result.calls.push_back(callFromJson(call));
  }
  for (const auto &boot : json.at("boots")) {
    result.boots.push_back(bootFrom(boot));
  }
  result.plan = json.at("plan").get<std::string>();
  result.shard.index = json.at("shard").at("index").get<size_t>();
  result.shard.count = json.at("shard").at("count").get<size_t>();
  return result;
}

} // namespace sim::explore
