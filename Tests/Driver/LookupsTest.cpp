// SPDX-License-Identifier: BSD-2-Clause-Patent
// What the driver looked up and what it got, the board entries nothing
// asked for, and the places the reports point at: each names what a user
// would otherwise have to guess from a silent boot.
#include "BootHarness.h"

#include "Boot/Checks.h"
#include "Boot/Report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <set>

namespace {

const std::string kBoards = std::string(KESH_SOURCE_DIR) + "/boards/";
constexpr EFI_GUID kEfiDebugVariable = {
    0x59D1C24F, 0x50F1, 0x401A, {0xB1, 0x01, 0xF3, 0x3E, 0x0D, 0xAE, 0xD4, 0x43}};

struct LookupCase {
  const char *what;
  const char *board; // under boards/
  std::function<void(sim::Board &)> change;
  std::vector<std::string> lookups;    // "SUBJECT -> ANSWER" lines the boot must show
  std::vector<std::string> nearMisses; // every near miss, in order
};

void PrintTo(const LookupCase &c, std::ostream *os) {
  *os << c.what;
}

std::vector<std::string> lookupLines(const sim::BootRecord &r) {
  std::vector<std::string> out;
  for (const sim::LookupRecord &lookup : r.lookups) {
    out.push_back(sim::lookupSubject(r, lookup) + " -> " + sim::lookupAnswer(r, lookup));
  }
  return out;
}

const std::string kIdentity = "protocol Platform Identity {87C6B749-63CF-430D-87B8-E8CBDC8739E2}";
const std::string kSmmUnasked = "protocol SMM Communication: installed, never asked for";
// Without the identity, the driver stops before it looks for the hub.
const std::string kHubUnasked = "protocol MC5744: installed, never asked for";

const LookupCase kCases[] = {
    {"the reference board",
     "reference.toml",
     [](sim::Board &) {},
     {"variable EFIDebug {59D1C24F-50F1-401A-B101-F33E0DAED443} -> Not Found", kIdentity + " -> Success",
      "platform state 8 -> Success: 0x0", "attribute UsbPorts -> Not Found",
      "identity record -> Success: System ID 2040"},
     {kSmmUnasked}},
    // Not installed and answering 0 are two causes: the lookups tell them apart.
    {"no identity protocol",
     "reference.toml",
     [](sim::Board &b) { b.identity.reset(); },
     {kIdentity + " -> Not Found"},
     {kHubUnasked, kSmmUnasked}},
    {"the identity lookup failed by a rule",
     "reference.toml",
     [](sim::Board &b) {
       b.failures.push_back(sim::FailureRule{"LocateProtocol", 0, EFI_NOT_FOUND, gVroPlatformIdProtocolGuid});
     },
     {kIdentity + " -> Not Found (injected)"},
     {kHubUnasked, kSmmUnasked}},
    {"an attribute set and read",
     "pwd-2040-back-ports.toml",
     [](sim::Board &) {},
     {"platform state 8 -> Success: 0x1", "attribute UsbPorts -> Success: \"OnlyBackPortsOn\""},
     {kSmmUnasked}},
    {"an attribute one letter short",
     "reference.toml",
     [](sim::Board &b) { b.nvram->values[u"UsbPort"] = u"OnlyBackPortsOn"; },
     {"attribute UsbPorts -> Not Found"},
     {"attribute UsbPort: never read; did you mean UsbPorts?", kSmmUnasked}},
    {"an attribute nothing resembles",
     "reference.toml",
     [](sim::Board &b) { b.nvram->values[u"BootOrderLock"] = u"On"; },
     {},
     {"attribute BootOrderLock: never read", kSmmUnasked}},
    {"a value off in case and spacing",
     "reference.toml",
     [](sim::Board &b) { b.nvram->values[u"UsbPorts"] = u"only back ports on"; },
     {"attribute UsbPorts -> Success: \"only back ports on\""},
     {kSmmUnasked,
      "attribute UsbPorts = \"only back ports on\": not a value the driver acts on; did you mean "
      "\"OnlyBackPortsOn\"?"}},
    {"a SATA location off in spacing from the port's name",
     "redundant-os-sata.toml",
     [](sim::Board &b) { b.nvram->values[u"RedundantOsLocation"] = u"Port 5"; },
     {"attribute RedundantOsLocation -> Success: \"Port 5\""},
     {kSmmUnasked, "attribute RedundantOsLocation = \"Port 5\": not a value the driver acts on; did you mean "
                   "\"Port5\"?"}},
    {"a SATA location found in a port's name",
     "redundant-os-sata.toml",
     [](sim::Board &) {},
     {"attribute RedundantOsLocation -> Success: \"Port5\""},
     {kSmmUnasked}},
    {"a variable under the name the driver reads in another case, and one under another GUID",
     "reference.toml",
     [](sim::Board &b) {
       b.variables.push_back(sim::BoardVariable{u"EfiDebug", kEfiDebugVariable, {0x40}, 7});
       b.variables.push_back(sim::BoardVariable{u"EFIDebug", gVroPlatformIdProtocolGuid, {0x40}, 7});
     },
     {"variable EFIDebug {59D1C24F-50F1-401A-B101-F33E0DAED443} -> Not Found"},
     {"variable EfiDebug {59D1C24F-50F1-401A-B101-F33E0DAED443}: never read; did you mean EFIDebug?",
      "variable EFIDebug {87C6B749-63CF-430D-87B8-E8CBDC8739E2}: never read; did you mean EFIDebug?",
      kSmmUnasked}},
};

class Lookups : public ::testing::TestWithParam<LookupCase> {};

TEST_P(Lookups, NameWhatWasAskedAndWhatTheBoardGaveForNothing) {
  const LookupCase &c = GetParam();
  sim::Board board = sim::loadBoardFile(kBoards + c.board);
  c.change(board);
  boot::Boot boot(board);
  const sim::BootRecord &r = boot.simulation.record();
  std::vector<std::string> lines = lookupLines(r);
  for (const std::string &wanted : c.lookups) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), wanted), lines.end()) << wanted;
  }
  std::vector<std::string> misses;
  for (const sim::NearMissRecord &miss : r.nearMisses) {
    misses.push_back(sim::nearMissText(miss));
  }
  EXPECT_EQ(misses, c.nearMisses);
  // A slip warns; what only nothing asked for does not.
  bool slip = std::any_of(r.nearMisses.begin(), r.nearMisses.end(), [](const auto &m) { return m.closest; });
  EXPECT_EQ(sim::runCheck(r, "board.near-misses").verdict, slip ? sim::Verdict::Warn : sim::Verdict::Pass);
}

INSTANTIATE_TEST_SUITE_P(Boards, Lookups, ::testing::ValuesIn(kCases));

// Every place a report names is one the user can look up: a trace entry
// that --trace shows under that number, or a call of the service it names
// in the report's numbered list of calls.
TEST(Evidence, EveryReferenceInTheReportsOfTheShippedBoardsPointsAtWhatItNames) {
  const std::regex traceEntry(R"(trace entry (\d+))");
  const std::regex call(R"((\w+) at call (\d+))");
  const std::regex lookupCall(R"(^  call (\d+) +(\S+ \S+))");
  size_t followed = 0;
  for (const auto &file : std::filesystem::directory_iterator(kBoards)) {
    boot::Boot boot(sim::loadBoardFile(file.path().string()));
    const sim::BootRecord &r = boot.simulation.record();
    std::string text = sim::textSummary(r);
    for (const sim::CheckResult &check : r.checks) {
      for (const std::string &evidence : check.evidence) {
        text += evidence + "\n";
      }
    }
    std::set<size_t> shown;
    for (const sim::NamedTraceEntry &entry : sim::namedTrace(boot.simulation.machine(), r, {})) {
      shown.insert(entry.index);
    }
    for (std::sregex_iterator it(text.begin(), text.end(), traceEntry), end; it != end; ++it) {
      EXPECT_EQ(shown.count(std::stoul((*it)[1])), 1u) << file.path() << ": " << it->str();
      followed++;
    }
    for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
      size_t number = std::stoul((*it)[2]);
      ASSERT_TRUE(number >= 1 && number <= r.calls.size()) << file.path() << ": " << it->str();
      EXPECT_TRUE(r.calls[number - 1].service.ends_with((*it)[1].str())) << file.path() << ": " << it->str();
      followed++;
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      if (std::regex_search(line, m, lookupCall)) {
        size_t number = std::stoul(m[1]);
        ASSERT_TRUE(number >= 1 && number <= r.calls.size()) << line;
        const sim::CallRecord &made = r.calls[number - 1];
        EXPECT_EQ(made.image + " " + made.function, m[2].str()) << line;
        followed++;
      }
    }
  }
  EXPECT_GT(followed, 100u);
}

} // namespace
