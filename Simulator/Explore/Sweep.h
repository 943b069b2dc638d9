// SPDX-License-Identifier: BSD-2-Clause-Patent
// The failure sweep: boots a board once to learn every call its images make
// to a firmware service, then once per call with that call alone failing
// (or per pair of calls), each boot isolated in a child process, and judges
// every boot against the unfailed one.
#pragma once

#include "Explore/Judge.h"
#include "Explore/Shard.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim::explore {

// The error a failing call answers unless told otherwise: one the service
// can really return (AllocatePool: EFI_OUT_OF_RESOURCES, LocateProtocol:
// EFI_NOT_FOUND, CloseEvent: EFI_INVALID_PARAMETER, ...). Services without
// a status ignore it: PCD getters and QueryPlatformState answer a value
// of their own, the debug-print service loses the line.
EFI_STATUS defaultFailureStatus(std::string_view service);

// One call an image made in the unfailed boot.
struct SweepCall {
  std::string service;
  unsigned call = 0; // nth call of the service over the boot
  std::string image;
  std::string context; // the notify function running, or "entry"
  std::optional<EFI_GUID> guid;
  bool failable = true;
  std::string subject; // a variable's name, "token 228", ...: ServiceCall::subject
};

// What a call was about, as the sweep's table shows it: its subject, else
// the name of its GUID (the GUID itself when no name is known), else "-".
std::string callTarget(const SweepCall &call);

struct SweepBoot {
  size_t id = 0;                 // its place in the sweep's plan (the unfailed boot has none)
  std::vector<SweepCall> failed; // none for the unfailed boot; one, or two for a pair
  std::vector<EFI_STATUS> statuses;
  // The registry's checks, and the isolation's own findings (crash,
  // sanitizer, hang) when the boot did not end.
  std::vector<CheckResult> verdicts;
  std::vector<std::string> changes; // against the unfailed boot
  BootEffects effects;
  bool violation() const { return explore::violation(verdicts); }
};

struct SweepOptions {
  std::string driverImage;
  std::map<std::string, EFI_STATUS, std::less<>> statuses; // per service, over defaultFailureStatus
  std::vector<std::string> only;                           // fail only calls of these services (empty: all)
  std::vector<std::string> pairs; // also fail every pair of calls among these services
  size_t pairLimit = 500;
  unsigned jobs = 1;
  std::chrono::milliseconds timeout{30000};
  // Called after each boot: (boots done, boots in all).
  std::function<void(size_t, size_t)> progress;
  // Boots only the plan's ids this shard owns; every shard boots the
  // unfailed boot, which the plan is made from.
  Shard shard;
};

struct SweepResult {
  std::string board, source;
  SweepBoot baseline;
  std::vector<SweepCall> calls; // every call of the unfailed boot, in order
  std::vector<SweepBoot> boots; // in plan order
  std::string plan;             // digest of the whole sweep's plan
  Shard shard;
  size_t violations() const;
};

// Throws what building the unfailed boot throws (a missing image, ...).
SweepResult runSweep(const Board &board, const SweepOptions &options);

// The table: one line per boot with its verdict and what changed, totals.
std::string sweepText(const SweepResult &result);
nlohmann::json sweepJson(const SweepResult &result);
// Reads back what sweepJson wrote (nlohmann::json exceptions on a shape it
// did not write).
SweepResult sweepFromJson(const nlohmann::json &json);

} // namespace sim::explore
