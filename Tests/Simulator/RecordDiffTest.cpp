// SPDX-License-Identifier: BSD-2-Clause-Patent
// Golden records and their comparison: what a change to a boot's behaviour
// shows as, section by section and in order of meaning, and that what only
// moves with timing shows as nothing.
#include "Boot/Golden.h"
#include "Boot/RecordDiff.h"
#include "Explore/BuildDiff.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

using nlohmann::json;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

const std::string kImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";

const json &reference() {
  static const json golden = sim::explore::bootGolden(sim::referenceBoard(), kImage);
  return golden;
}

std::vector<std::string> titles(const sim::RecordDiff &diff) {
  std::vector<std::string> out;
  for (const sim::DiffSection &section : diff.sections) {
    out.push_back(section.title);
  }
  return out;
}

struct Change {
  const char *what;
  std::function<void(json &)> change;
  std::vector<std::string> sections;
  std::string line; // found among the lines of the first section
};

class RecordDiffCase : public ::testing::TestWithParam<Change> {};

TEST_P(RecordDiffCase, NamesTheChangeInItsSection) {
  const Change &c = GetParam();
  json changed = reference();
  c.change(changed);
  sim::RecordDiff diff = sim::diffRecords(reference(), changed);
  ASSERT_THAT(titles(diff), ElementsAreArray(c.sections));
  std::string lines;
  for (const std::string &line : diff.sections.front().lines) {
    lines += line + "\n";
  }
  EXPECT_THAT(lines, HasSubstr(c.line));
  EXPECT_TRUE(sim::diffRecords(changed, changed).same());
}

void PrintTo(const Change &c, std::ostream *os) {
  *os << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Changes, RecordDiffCase,
    ::testing::Values(
        Change{"a verdict",
               [](json &g) {
                 g["verdicts"]["spi.protect"] = {{"verdict", "fail"}, {"reason", "open"}};
               },
               {"verdicts"},
               "  spi.protect: pass -> fail: open\n"},
        Change{"a check only one side has",
               [](json &g) {
                 g["verdicts"]["new.check"] = {{"verdict", "warn"}, {"reason", "why"}};
               },
               {"verdicts"},
               "+ new.check: warn: why\n"},
        Change{"a reason alone",
               [](json &g) { g["verdicts"]["entry"]["reason"] = "other"; },
               {"verdicts"},
               "  entry.reason: \"the driver entry returned Success\" -> \"other\""},
        Change{"a hardware access gone", [](json &g) { g["hardware"].erase(10); }, {"hardware"}, "- [10] "},
        Change{"a value written",
               [](json &g) {
                 for (json &access : g["hardware"]) {
                   if (access["register"] == "0x1D" && access["kind"] == "mmio-write") {
                     access["value"] = "0x0";
                     return;
                   }
                 }
                 FAIL() << "no write of the SPI byte at 0x1D";
               },
               {"hardware"},
               "+ [106] mmio-write SPI 0x1D (0xFEC1001D) w1 = 0x0 by KeshInitDxe KeshOnPciEnumComplete"},
        Change{"a console line",
               [](json &g) { g["console"]["0x3F8"][2] = "KeshOnPciEnumComplete: something else\r\n"; },
               {"console 0x3F8"},
               "+ [2] KeshOnPciEnumComplete: something else\\r\\n"},
        Change{"a call more",
               [](json &g) {
                 g["calls"].insert(
                     g["calls"].begin() + 3,
                     json{{"service", "FreePool"}, {"image", "KeshInitDxe"}, {"function", "entry"}});
               },
               {"calls"},
               "+ [3] FreePool by KeshInitDxe entry"},
        Change{"a PCD token",
               [](json &g) { g["pcd_writes"][0]["token"] = 999; },
               {"pcd_writes"},
               "\"token\":999"},
        Change{"everything at once, in order of meaning",
               [](json &g) {
                 g["pcd_writes"][0]["token"] = 999;
                 g["calls"].erase(0);
                 g["console"]["0x2F8"].erase(0);
                 g["hardware"].erase(0);
                 g["verdicts"]["halt"]["verdict"] = "fail";
                 g["outcome"]["completed"] = false;
               },
               {"outcome", "verdicts", "hardware", "console 0x2F8", "calls", "pcd_writes"},
               "  completed: true -> false"}),
    [](const ::testing::TestParamInfo<Change> &info) {
      std::string name = info.param.what;
      for (char &c : name) {
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      }
      return name;
    });

// The same platform at another port-read cost polls the UARTs a different
// number of times and at other times: the behaviour is the same.
TEST(GoldenRecord, TimingAndPollsAreNotBehaviour) {
  sim::Board slow = sim::referenceBoard();
  slow.accessCostNs = 7000;
  json other = sim::explore::bootGolden(slow, kImage);
  sim::RecordDiff diff = sim::diffRecords(reference(), other);
  EXPECT_TRUE(diff.same()) << sim::diffText(diff);
  EXPECT_GT(reference()["hardware"].size(), 100u);
  for (const char *moving : {"_ns\"", "_at\"", "trace"}) {
    EXPECT_EQ(reference().dump().find(moving), std::string::npos) << moving;
  }
}

// A fault's address and the function its instruction was in depend on
// the host build (a sanitizer faults on a wild address's shadow; inlining
// moves instructions): the record keeps the signal and the code that ran.
TEST(GoldenRecord, ADriverFaultKeepsItsSignalAndCodeNotItsPlace) {
  sim::Board board = sim::loadBoardFile(std::string(KESH_SOURCE_DIR) + "/boards/s3-wild-comm-buffer.toml");
  std::string text = sim::explore::bootGolden(board, kImage).dump();
  EXPECT_THAT(text, HasSubstr("as the board expects: SIGSEGV in KeshInitDxe OrunS3SaveCloseTableCallBack\""));
  for (const char *place : {"instruction in", "0x0000000000001234", "not mapped"}) {
    EXPECT_EQ(text.find(place), std::string::npos) << place;
  }
}

// One line per list element and per check: a change touches its own lines.
TEST(GoldenRecord, CanonicalTextReadsBackAndKeepsAnElementALine) {
  std::string text = sim::canonicalJson(reference());
  EXPECT_EQ(json::parse(text), reference());
  EXPECT_EQ(text, sim::canonicalJson(json::parse(text)));
  size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  EXPECT_GE(lines,
            reference()["hardware"].size() + reference()["calls"].size() + reference()["verdicts"].size());
  EXPECT_THAT(text, HasSubstr("\n  \"verdicts\": {\n    \"assertions\": {\"count\":0,"));
}

TEST(RecordDiff, SummaryNamesVerdictChangesAndSections) {
  json changed = reference();
  changed["verdicts"]["spi.protect"]["verdict"] = "fail";
  changed["hardware"].erase(0);
  EXPECT_EQ(sim::diffRecords(reference(), changed).summary(),
            "verdicts (spi.protect: pass -> fail), hardware");
  EXPECT_EQ(sim::diffRecords(reference(), reference()).summary(), "the same");
}

// Lists too long to tabulate against each other still come out whole.
TEST(RecordDiff, ListsBeyondTheTableAreAllChanged) {
  json a = reference(), b = reference();
  a["calls"] = json::array();
  b["calls"] = json::array();
  for (int i = 0; i < 2100; i++) {
    a["calls"].push_back({{"service", "A" + std::to_string(i)}, {"image", "X"}, {"function", "entry"}});
    b["calls"].push_back({{"service", "B" + std::to_string(i)}, {"image", "X"}, {"function", "entry"}});
  }
  sim::RecordDiff diff = sim::diffRecords(a, b);
  ASSERT_THAT(titles(diff), ElementsAreArray({"calls"}));
  EXPECT_EQ(diff.sections[0].changes, 4200u);
  EXPECT_THAT(sim::diffText(diff, 3), HasSubstr("... and 4197 more lines"));
}

TEST(RecordDiff, RefusesWhatIsNoGoldenRecord) {
  for (const json &bad : {json(nullptr), json::array(), json{{"format", 99}, {"verdicts", json::object()}},
                          json{{"format", sim::kGoldenFormat}}}) {
    EXPECT_THROW(sim::diffRecords(bad, reference()), std::invalid_argument) << bad;
    EXPECT_THROW(sim::diffRecords(reference(), bad), std::invalid_argument) << bad;
  }
}

} // namespace
