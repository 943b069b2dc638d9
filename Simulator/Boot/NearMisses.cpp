// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "NearMisses.h"

#include "Host/NearestName.h"
#include "Platform/ProtocolNames.h"
#include "PolicyModel.h"

#include <algorithm>
#include <set>

namespace sim {

namespace {

constexpr std::string_view kAttributeRead = "OrvexNvramAttribute.GetAttribute";
// One slip per six letters: "RedundantOsLocaton" is RedundantOsLocation,
// RedundantOsState is not.
constexpr size_t kBoardFraction = 6;

bool asked(const BootRecord &r, const EFI_GUID &guid) {
  return std::any_of(r.calls.begin(), r.calls.end(),
                     [&](const CallRecord &call) { return call.guid && sameGuid(*call.guid, guid); });
}

bool platformProtocol(const EFI_GUID &guid) {
  auto protocols = platformProtocols();
  return std::any_of(protocols.begin(), protocols.end(),
                     [&](const PlatformProtocol &known) { return sameGuid(*known.guid, guid); });
}

} // namespace

std::vector<NearMissRecord> findNearMisses(const Board &board, const BootRecord &r) {
  std::vector<NearMissRecord> out;
  // Names asked for, whatever the answer: a name asked for and not found is
  // the one a misspelt board entry most likely meant.
  std::set<std::string> attributes, variables;
  for (const LookupRecord &lookup : r.lookups) {
    const CallRecord &call = r.calls[lookup.call];
    if (call.service == kAttributeRead) {
      attributes.insert(lookup.name);
    } else if (call.service == "GetVariable") {
      variables.insert(lookup.name + "/" + (call.guid ? guidToString(*call.guid) : std::string()));
    }
  }
  std::vector<std::string_view> attributeNames(attributes.begin(), attributes.end());
  if (board.nvram) {
    for (const auto &[name, value] : board.nvram->values) {
      std::string text = firmwareText(name);
      if (attributes.count(text) == 0) {
        out.push_back(NearMissRecord{NearMissKind::Attribute, text, std::nullopt, "",
                                     closestName(text, attributeNames, kBoardFraction)});
      }
    }
  }
  std::vector<std::string> variableNames;
  for (const std::string &key : variables) {
    variableNames.push_back(key.substr(0, key.rfind('/')));
  }
  std::vector<std::string_view> variableViews(variableNames.begin(), variableNames.end());
  for (const BoardVariable &variable : board.variables) {
    std::string text = firmwareText(variable.name);
    if (variables.count(text + "/" + guidToString(variable.guid)) == 0) {
      // The same name under another GUID is as near as a miss gets.
      out.push_back(NearMissRecord{NearMissKind::Variable, text, variable.guid, "",
                                   closestName(text, variableViews, kBoardFraction)});
    }
  }
  for (const InstallRecord &install : r.timing.installs) {
    if (platformProtocol(install.protocol) && !asked(r, install.protocol)) {
      out.push_back(NearMissRecord{NearMissKind::Protocol, "", install.protocol, "", std::nullopt});
    }
  }
  if (board.nvram) {
    for (const auto &[name, value] : board.nvram->values) {
      if (attributes.count(firmwareText(name)) == 0) {
        continue;
      }
      if (auto meant = nearlyActedOnValue(board, name, value)) {
        out.push_back(NearMissRecord{NearMissKind::Value, firmwareText(name), std::nullopt,
                                     firmwareText(value), firmwareText(*meant)});
      }
    }
  }
  return out;
}

} // namespace sim
