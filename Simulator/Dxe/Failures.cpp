// Failure injection: rules matched against every service call.
#include "Dxe/DxeCore.h"

#include <fmt/format.h>

namespace sim {

void FailurePlan::add(FailureRule rule) {
  rules_.push_back(std::move(rule));
}

void FailurePlan::clear() {
  rules_.clear();
  calls_.clear();
  guidCalls_.clear();
  injected_.clear();
}

void FailurePlan::count(std::string_view service) {
  auto it = calls_.find(service);
  if (it == calls_.end()) {
    calls_.emplace(std::string(service), 1);
  } else {
    it->second++;
  }
}

namespace {
// The service's name and the GUID's 16 bytes: counted on every call, so
// nothing is formatted.
std::string guidCallKey(std::string_view service, const EFI_GUID &guid) {
  std::string key(service);
  key.push_back(' ');
  key.append(reinterpret_cast<const char *>(&guid), sizeof(guid));
  return key;
}
} // namespace

std::optional<EFI_STATUS> FailurePlan::check(std::string_view service, const EFI_GUID *guid) {
  count(service);
  unsigned nth = calls(service);
  unsigned nthAboutGuid = 0;
  if (guid != nullptr) {
    nthAboutGuid = ++guidCalls_[guidCallKey(service, *guid)];
  }
  for (const auto &rule : rules_) {
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
    if (rule.guid) {
      injected_.push_back(fmt::format("{} call {} (GUID {}) -> {}", service, counted,
                                      guidToString(*rule.guid), statusName(rule.status)));
    } else {
      injected_.push_back(fmt::format("{} call {} -> {}", service, counted, statusName(rule.status)));
    }
    return rule.status;
  }
  return std::nullopt;
}

unsigned FailurePlan::calls(std::string_view service) const {
  auto it = calls_.find(service);
  return it == calls_.end() ? 0 : it->second;
}

unsigned FailurePlan::calls(std::string_view service, const EFI_GUID &guid) const {
  auto it = guidCalls_.find(guidCallKey(service, guid));
  return it == guidCalls_.end() ? 0 : it->second;
}

} // namespace sim
