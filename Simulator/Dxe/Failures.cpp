// SPDX-License-Identifier: BSD-2-Clause-Patent
// Failure injection: rules matched against every service call.
#include "Dxe/DxeCore.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

namespace sim {

void FailurePlan::add(FailureRule rule) {
  rules_.push_back(std::move(rule));
}

void FailurePlan::clear() {
  rules_.clear();
  calls_.clear();
  guidCalls_.clear();
  images_.clear();
  injected_.clear();
  hits_.clear();
  log_.clear();
  lookups_.clear();
}

void FailurePlan::noteLookup(EFI_STATUS status, std::vector<uint8_t> value, std::optional<uint64_t> key) {
  if (log_.empty()) {
    return;
  }
  lookups_.push_back(LookupNote{log_.size() - 1, status, key, std::move(value)});
}

unsigned FailurePlan::countCall(std::string_view service, const EFI_GUID *guid, CallSite site,
                                bool failable) {
  auto it = calls_.find(service);
  if (it == calls_.end()) {
    it = calls_.emplace(std::string(service), 0).first;
  }
  unsigned nth = ++it->second;
  auto image = images_.find(site.image);
  if (image == images_.end()) {
    image = images_.emplace(site.image).first;
  }
  ServiceCall call{it->first, nth, *image, site.notify, std::nullopt, failable, std::nullopt, {}};
  if (guid != nullptr) {
    call.guid = *guid;
  }
  if (log_.empty()) {
    log_.reserve(128); // a whole boot's calls, most of the time
  }
  log_.push_back(call);
  return nth;
}

namespace {
std::array<uint8_t, sizeof(EFI_GUID)> guidBytes(const EFI_GUID &guid) {
  std::array<uint8_t, sizeof(EFI_GUID)> bytes{};
  std::memcpy(bytes.data(), &guid, sizeof(guid));
  return bytes;
}
} // namespace

void FailurePlan::noteSubject(std::string subject) {
  if (!log_.empty()) {
    log_.back().subject = std::move(subject);
  }
}

std::string subjectName(const CHAR16 *name) {
  if (name == nullptr) {
    return "(null name)";
  }
  constexpr size_t kMax = 64;
  size_t i = 0;
  while (i < kMax && name[i] != 0) {
    i++;
  }
  std::string out = firmwareText(std::u16string_view(name, i));
  // A name without its terminator is read one character past what is shown.
  return i == kMax && name[i] != 0 ? out + "..." : out;
}

void FailurePlan::count(std::string_view service, CallSite site) {
  countCall(service, nullptr, site, false);
}

std::optional<EFI_STATUS> FailurePlan::check(std::string_view service, const EFI_GUID *guid, CallSite site) {
  unsigned nth = countCall(service, guid, site, true);
  unsigned nthAboutGuid = 0;
  if (guid != nullptr) {
    // The service was counted just above: its name is a key of calls_.
    GuidCall key{calls_.find(service)->first, guidBytes(*guid)};
    auto known = std::find_if(guidCalls_.begin(), guidCalls_.end(),
                              [&](const auto &entry) { return entry.first == key; });
    if (known == guidCalls_.end()) {
      guidCalls_.emplace_back(key, 0);
      known = std::prev(guidCalls_.end());
    }
    nthAboutGuid = ++known->second;
  }
  for (size_t index = 0; index < rules_.size(); index++) {
    const FailureRule &rule = rules_[index];
    if (rule.service != service) {
      continue;
    }
    if (rule.guid && (guid == nullptr || !sameGuid(*rule.guid, *guid))) {
      continue;
    }
    unsigned counted = rule.guid ? nthAboutGuid : nth;
    if (rule.call != 0 && rule.call != counted) {
      continue;
    }
    hits_.push_back(FailureHit{index, std::string(service), counted, rule.guid, rule.status});
    if (rule.guid) {
      injected_.push_back(fmt::format("{} call {} (GUID {}) -> {}", service, counted,
                                      guidToString(*rule.guid), statusName(rule.status)));
    } else {
      injected_.push_back(fmt::format("{} call {} -> {}", service, counted, statusName(rule.status)));
    }
    log_.back().injected = rule.status;
    return rule.status;
  }
  return std::nullopt;
}

unsigned FailurePlan::calls(std::string_view service) const {
  auto it = calls_.find(service);
  return it == calls_.end() ? 0 : it->second;
}

unsigned FailurePlan::calls(std::string_view service, const EFI_GUID &guid) const {
  GuidCall key{service, guidBytes(guid)};
  auto it = std::find_if(guidCalls_.begin(), guidCalls_.end(),
                         [&](const auto &entry) { return entry.first == key; });
  return it == guidCalls_.end() ? 0 : it->second;
}

} // namespace sim
