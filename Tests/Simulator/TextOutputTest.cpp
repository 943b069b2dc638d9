// SPDX-License-Identifier: BSD-2-Clause-Patent
// What the text outputs tell a person: one unit of time, the sweep's rows
// naming what each failed call was about, the matrix's outcomes named by
// what sets them apart.
#include "Boot/Checks.h"
#include "Explore/Matrix.h"
#include "Explore/Sweep.h"
#include "Host/TimeText.h"

#include <gtest/gtest.h>

#include <limits>
#include <regex>
#include <sstream>

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

// The row of a failed call in the sweep's table.
std::string rowOf(const std::string &table, const ex::SweepCall &call) {
  std::istringstream in(table);
  std::regex row("^" + call.service + " +" + std::to_string(call.call) + " .*");
  for (std::string line; std::getline(in, line);) {
    if (std::regex_match(line, row)) {
      return line;
    }
  }
  return "";
}

TEST(SweepText, EachRowNamesWhatTheFailedCallWasAbout) {
  ex::SweepOptions options;
  options.driverImage = kImage;
  options.only = {
      "LocateProtocol",          "GetVariable", "PCD.Get64", "PCD.Set64", "OrvexNvramAttribute.GetAttribute",
      "GetMemorySpaceDescriptor"};
  options.jobs = 2;
  ex::SweepResult result = ex::runSweep(sim::referenceBoard(), options);
  std::string table = ex::sweepText(result);
  // Each service's rows show their target, and one of them this one: the
  // protocol by name, the variable or attribute by its name, the PCD by its
  // token, the GCD call by its address.
  struct Case {
    std::string service;
    std::string oneTarget;
  } cases[] = {
      {"LocateProtocol", "Platform Identity"},
      {"LocateProtocol", "DXE SMM Ready To Lock"},
      {"GetVariable", "EFIDebug"},
      {"PCD.Get64", "token 214"},
      {"PCD.Set64", "token 214"},
      {"OrvexNvramAttribute.GetAttribute", "RedundantOsState"},
      {"GetMemorySpaceDescriptor", "0xFED80000"},
  };
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
      EXPECT_NE(target, "-") << c.service << " " << call.call;
      std::string row = rowOf(table, call);
      EXPECT_NE(row.find("  " + target + " "), std::string::npos) << row;
      named += target == c.oneTarget ? 1 : 0;
      // The JSON a shard travels as keeps it.
      EXPECT_EQ(ex::callTarget(back.boots[i].failed.at(0)), target) << row;
    }
    EXPECT_GT(rows, 0u) << c.service << " is called on the reference board:\n" << table;
    EXPECT_GT(named, 0u) << c.service << " about " << c.oneTarget << ":\n" << table;
  }
}

TEST(SweepText, ACallAboutNothingShowsADash) {
  struct Case {
    ex::SweepCall call;
    std::string target;
  } cases[] = {
      {{"AllocatePool", 1, "KeshInitDxe", "entry", std::nullopt, true, ""}, "-"},
      {{"PCD.Set8", 1, "KeshInitDxe", "entry", std::nullopt, true, "token 228"}, "token 228"},
      {{"LocateProtocol", 1, "KeshInitDxe", "entry",
        EFI_GUID{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}}, true, ""},
       "01020304-0506-0708-090A-0B0C0D0E0F10"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(ex::callTarget(c.call), c.target) << c.call.service;
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
  // Each outcome named by the SPI state alone, which the PWD answer sets.
  struct Case {
    const char *line;
    size_t example;
  } cases[] = {
      {"\n      2  pass -- spi: protected", 0},
      {"\n      1  pass -- spi: locked", 1},
  };
  for (const Case &c : cases) {
    size_t at = text.find(c.line);
    ASSERT_NE(at, std::string::npos) << text;
    size_t end = text.find('\n', at + 1);
    EXPECT_EQ(text.substr(at, end - at).find("halt:"), std::string::npos) << text;
    EXPECT_EQ(text.find("e.g. case " + std::to_string(c.example) + ": pwd=", end), end + 10) << text;
  }

  // Every check of the registry, once, with how many of the 3 boots it
  // judged each way.
  size_t from = text.find("-- " + std::to_string(sim::checkNames().size()) + " checks judged the boots:\n");
  ASSERT_NE(from, std::string::npos) << text;
  std::string checks = text.substr(from, text.find("\n--", from + 1) - from);
  for (std::string_view name : sim::checkNames()) {
    std::smatch line;
    std::string quoted = std::regex_replace(std::string(name), std::regex("[.]"), "\\.");
    ASSERT_TRUE(std::regex_search(checks, line, std::regex("\n   ([^:\n]*): (.*, )?" + quoted + "(,|\n|$)")))
        << name << "\n"
        << checks;
    size_t boots = 0;
    std::string tally = line[1].str();
    const std::regex count("([0-9]+) [a-z-]+");
    for (std::sregex_iterator it(tally.begin(), tally.end(), count), done; it != done; ++it) {
      boots += std::stoul((*it)[1].str());
    }
    EXPECT_EQ(boots, 3u) << name << ": " << tally;
  }
  EXPECT_NE(checks.find("   3 pass: entry, halt, "), std::string::npos) << checks;
  EXPECT_NE(checks.find("   3 not-applicable: spi.armed-before-ports, s3.resume, "), std::string::npos)
      << checks;
}

} // namespace
