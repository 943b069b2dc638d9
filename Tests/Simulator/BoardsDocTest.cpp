// SPDX-License-Identifier: BSD-2-Clause-Patent
// docs/BOARDS.md gives every protocol and GUID the simulator knows on one
// table row with its GUID, so the page cannot drift from the code.
#include "Boot/Report.h"
#include "Explore/ServiceNames.h"
#include "Platform/ProtocolNames.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

bool rowHolds(const std::string &name, const EFI_GUID &guid) {
  std::ifstream file(std::string(KESH_SOURCE_DIR) + "/docs/BOARDS.md");
  for (std::string row; std::getline(file, row);) {
    if (row.rfind("| ", 0) == 0 && row.find(name) != std::string::npos &&
        row.find("`" + sim::guidToString(guid) + "`") != std::string::npos) {
      return true;
    }
  }
  return false;
}

TEST(BoardsDoc, NamesEveryProtocolAndGuidTheSimulatorKnows) {
  for (const sim::PlatformProtocol &protocol : sim::platformProtocols()) {
    EXPECT_TRUE(rowHolds("`" + std::string(protocol.name) + "`", *protocol.guid)) << protocol.name;
    EXPECT_TRUE(rowHolds("`[platform." + std::string(protocol.key) + "]`", *protocol.guid)) << protocol.key;
  }
  for (const auto &[guid, name] : sim::knownGuids()) {
    EXPECT_TRUE(rowHolds("| " + std::string(name) + " |", guid)) << name;
  }
  // Every protocol a [[fail]] service name starts with ("VroSata." of
  // "VroSata.GetPortList") is one of the table's, or the PCD protocol.
  for (std::string_view service : sim::explore::serviceNames()) {
    std::string_view prefix = service.substr(0, service.find('.'));
    bool known = prefix == service || prefix == "PCD";
    for (const sim::PlatformProtocol &protocol : sim::platformProtocols()) {
      known = known || protocol.name == prefix;
    }
    EXPECT_TRUE(known) << service << ": its protocol is not in the table of platform protocols";
  }
}

} // namespace
