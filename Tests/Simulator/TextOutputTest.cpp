// SPDX-License-Identifier: BSD-2-Clause-Patent
// What the text outputs tell a person: one unit of time, the sweep's rows
// naming what each failed call was about, the matrix's outcomes named by
// what sets them apart.
#include "Boot/Checks.h"
#include "Explore/Matrix.h"
#include "Explore/Sweep.h"
#include "Host/TimeText.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <limits>
#include <numeric>
#include <regex>

namespace {

namespace ex = sim::explore;

const std::string kImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";
const std::string kBoards = std::string(KESH_SOURCE_DIR) + "/boards";

TEST(TimeText, MillisecondsWithMicrosecondDigitsTruncated) {
  struct Case {
    uint64_t ns;
    const char *text;
  } cases[] = {
      {0, "0.000 ms"},
      {999, "0.000 ms"}, // never shown later than it happened
      {1000, "0.001 ms"},
      {41234500, "41.234 ms"},
      {41234999, "41.234 ms"},
      {1000000000, "1000.000 ms"},
      // Past 2^53 ns a double would lose the microseconds.
      {(uint64_t{1} << 53) + 1999, "9007199254.742 ms"},
      {std::numeric_limits<uint64_t>::max(), "18446744073709.551 ms"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(sim::msText(c.ns), c.text) << c.ns;
  }
}

TEST(SweepText, EachRowNamesWhatTheFailedCallWasAbout) {
  // Each service's rows show their target, and one of them this one: the
  // protocol by name, the variable or attribute by its name, the PCD by its
  // token, the GCD call by its address.
  struct Case {
    std::string service;
    std::string oneTarget;
  } cases[] = {
      {"LocateProtocol", "Platform Identity"},
      {"GetVariable", "EFIDebug"},
      {"PCD.Get64", "token 214"},
      {"PCD.Set64", "token 214"},
      {"OrvexNvramAttribute.GetAttribute", "RedundantOsState"},
      {"GetMemorySpaceDescriptor", "0xFED80000"},
      // A GUID this platform has no name for, as it is; a call about
      // nothing in particular, a dash.
      {"InstallMultipleProtocolInterfaces", "4C8A2451-C207-405B-9694-99EA13251341"},
      {"AllocatePool", "-"},
  };
  ex::SweepOptions options;
  options.driverImage = kImage;
  for (const Case &c : cases) {
    options.only.push_back(c.service);
  }
  options.jobs = 2;
  ex::SweepResult result = ex::runSweep(sim::referenceBoard(), options);
  std::string table = ex::sweepText(result);
  ex::SweepResult back = ex::sweepFromJson(ex::sweepJson(result));
  ASSERT_EQ(back.boots.size(), result.boots.size());
  for (const Case &c : cases) {
    size_t rows = 0, named = 0;
    for (size_t i = 0; i < result.boots.size(); i++) {
      const ex::SweepCall &call = result.boots[i].failed.at(0);
      if (call.service != c.service) {
        continue;
      }
      rows++;
      std::string target = ex::callTarget(call);
      EXPECT_EQ(target == "-", c.oneTarget == "-") << c.service << " " << call.call;
      size_t at = table.find(fmt::format("\n{:<34} {:>4}  ", call.service, call.call));
      std::string row =
          at == std::string::npos ? "" : table.substr(at + 1, table.find('\n', at + 1) - at - 1);
      EXPECT_NE(row.find("  " + target + " "), std::string::npos) << row;
      named += target == c.oneTarget ? 1 : 0;
      // The JSON a shard travels as keeps it.
      EXPECT_EQ(ex::callTarget(back.boots[i].failed.at(0)), target) << row;
    }
    EXPECT_GT(rows, 0u) << c.service << " is called on the reference board:\n" << table;
    EXPECT_GT(named, 0u) << c.service << " about " << c.oneTarget << ":\n" << table;
  }
}

TEST(MatrixText, SharedFieldsOnceOutcomesByWhatSetsThemApartAndTheChecks) {
  ex::Matrix matrix = ex::parseMatrixToml("[matrix]\nname = \"pwd\"\nbase = \"" + kBoards +
                                              "/reference.toml\"\n[[axis]]\nkey = \"platform.identity.pwd\"\n"
                                              "name = \"pwd\"\nvalues = [0, 1, 0]\n",
                                          "pwd.toml");
  ex::MatrixOptions options;
  options.driverImage = kImage;
  options.threads = 2;
  ex::MatrixResult result = ex::runMatrix(matrix, options);
  ASSERT_EQ(result.outcomes.size(), 2u) << ex::matrixText(result);
  std::string text = ex::matrixText(result);

  // The fields all three boots share, once, above the outcomes.
  std::smatch shared;
  ASSERT_TRUE(std::regex_search(text, shared, std::regex("\n-- every boot: ([^\n]*)\n"))) << text;
  EXPECT_NE(shared[1].str().find("entry: Success; halt: none"), std::string::npos) << text;
  EXPECT_EQ(shared[1].str().find("spi:"), std::string::npos) << text;
  // Each outcome named by the SPI state alone, which the PWD answer sets,
  // its example after it.
  for (const char *line :
       {"\n      2  pass -- spi: protected, write buffer on\n         e.g. case 0: pwd=0\n",
        "\n      1  pass -- spi: locked, opcodes 0x02D82001 0x0060C706, write buffer on\n"
        "         e.g. case 1: pwd=1\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  // Every check of the registry, with how many of the 3 boots it judged
  // each way; those that judged alike on one line.
  ASSERT_EQ(result.checks.size(), sim::checkNames().size());
  for (const ex::CheckTally &tally : result.checks) {
    EXPECT_EQ(std::accumulate(tally.boots.begin(), tally.boots.end(), size_t{0}), 3u) << tally.name;
  }
  EXPECT_NE(
      text.find(std::to_string(result.checks.size()) + " checks judged the boots:\n   3 pass: entry, halt, "),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("\n   3 not-applicable: spi.armed-before-ports, s3.resume, "), std::string::npos)
      << text;
}

} // namespace
