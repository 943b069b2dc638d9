// SPDX-License-Identifier: BSD-2-Clause-Patent
// docs/BOARDS.md names every protocol and GUID the simulator knows, each
// with its GUID on the same table row: a board writer finds there what a
// [[fail]] rule or a removal needs, and the page cannot drift from the code.
#include "Boot/Report.h"
#include "Explore/ServiceNames.h"
#include "Platform/ProtocolNames.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<std::string> tableRows() {
  std::ifstream file(std::string(KESH_SOURCE_DIR) + "/docs/BOARDS.md");
  std::vector<std::string> rows;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("| ", 0) == 0) {
      rows.push_back(line);
    }
  }
  return rows;
}

// A row holding both texts, each as a whole cell's code or words.
bool rowHolds(const std::vector<std::string> &rows, const std::string &name, const std::string &guid) {
  for (const std::string &row : rows) {
    if (row.find(name) != std::string::npos && row.find("`" + guid + "`") != std::string::npos) {
      return true;
    }
  }
  return false;
}

TEST(BoardsDoc, NamesEveryPlatformProtocolWithItsTableAndGuid) {
  std::vector<std::string> rows = tableRows();
  ASSERT_FALSE(rows.empty()) << "docs/BOARDS.md has no table";
  for (const sim::PlatformProtocol &protocol : sim::platformProtocols()) {
    std::string guid = sim::guidToString(*protocol.guid);
    EXPECT_TRUE(rowHolds(rows, "`" + std::string(protocol.name) + "`", guid)) << protocol.name << " " << guid;
    EXPECT_TRUE(rowHolds(rows, "`[platform." + std::string(protocol.key) + "]`", guid)) << protocol.key;
  }
}

TEST(BoardsDoc, NamesEveryGuidTheReportsName) {
  std::vector<std::string> rows = tableRows();
  for (const auto &[guid, name] : sim::knownGuids()) {
    EXPECT_TRUE(rowHolds(rows, "| " + std::string(name) + " |", sim::guidToString(guid))) << name;
  }
}

// Every protocol a [[fail]] service name starts with ("VroSata." of
// "VroSata.GetPortList") is in the table of protocols, or is the PCD's.
TEST(BoardsDoc, EveryProtocolAFailureRuleCanNameIsAPlatformProtocol) {
  std::set<std::string> prefixes;
  for (std::string_view service : sim::explore::serviceNames()) {
    if (size_t dot = service.find('.'); dot != std::string_view::npos) {
      prefixes.insert(std::string(service.substr(0, dot)));
    }
  }
  ASSERT_GT(prefixes.size(), 1u);
  for (const std::string &prefix : prefixes) {
    bool known = prefix == "PCD";
    for (const sim::PlatformProtocol &protocol : sim::platformProtocols()) {
      known = known || protocol.name == prefix;
    }
    EXPECT_TRUE(known) << prefix << " has no entry in the table of platform protocols";
  }
}

} // namespace
