// SPDX-License-Identifier: BSD-2-Clause-Patent
// The boot's timeline and page, rendered from the record: slices agree with
// the calls the core noted, instants with the facts they stand for, and
// everything from the boot is escaped on the page.
#include "Board/Board.h"
#include "Boot/Boot.h"
#include "Boot/HtmlReport.h"
#include "Boot/Timeline.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// The record only: one simulated core may live in a thread at a time.
sim::BootRecord boot(const sim::Board &board) {
  sim::Simulation simulation(board, std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so");
  simulation.run();
  return simulation.record();
}

const sim::BootRecord &reference() {
  static const sim::BootRecord record = boot(sim::referenceBoard());
  return record;
}

TEST(Timeline, EveryCallIsASliceWithTheRecordsTimesAndEachNotifyRunOne) {
  const sim::BootRecord &r = reference();
  nlohmann::json events = sim::timelineJson(r)["traceEvents"];
  for (const sim::ImageCallRecord &call : r.timing.calls) {
    auto slice = std::find_if(events.begin(), events.end(), [&](const nlohmann::json &e) {
      return e["ph"] == "X" && e["args"].value("function", "") == call.function &&
             e["args"]["start_ns"] == call.startNs;
    });
    ASSERT_NE(slice, events.end()) << call.function;
    EXPECT_EQ((*slice)["args"]["tpl"], sim::tplName(call.tpl));
    EXPECT_DOUBLE_EQ((*slice)["ts"].get<double>(), static_cast<double>(call.startNs) / 1000);
    EXPECT_DOUBLE_EQ((*slice)["dur"].get<double>(), static_cast<double>(call.endNs - call.startNs) / 1000);
  }
  size_t notified = 0;
  for (const sim::RecordedEvent &event : r.events) {
    notified += event.notifies == 0 ? 0 : 1;
    EXPECT_EQ(std::count_if(r.timing.calls.begin(), r.timing.calls.end(),
                            [&](const sim::ImageCallRecord &call) {
                              return call.image == event.owner && call.function == event.notifyFunction;
                            }),
              event.notifies)
        << event.notifyFunction;
  }
  EXPECT_GE(notified, 3u); // PCI enumeration, End of DXE, Ready to Boot at least
  // Each call lies within the step that made it: the platform waits for it.
  for (size_t i = 0; i < r.timeline.size(); i++) {
    uint64_t next = i + 1 < r.timeline.size() ? r.timeline[i + 1].startNs : r.virtualTimeNs;
    for (const sim::ImageCallRecord &call : r.timing.calls) {
      if (call.startNs >= r.timeline[i].startNs && call.startNs < next) {
        EXPECT_LE(call.endNs, next) << call.function;
      }
    }
  }
  // Only hardware accesses take virtual time: these print, so they last.
  for (const char *function :
       {"_ModuleEntryPoint", "KeshOnPciEnumComplete", "KeshOnEndOfDxe", "KeshOnReadyToBoot"}) {
    EXPECT_TRUE(std::any_of(r.timing.calls.begin(), r.timing.calls.end(),
                            [&](const sim::ImageCallRecord &call) {
                              return call.function == function && call.startNs < call.endNs;
                            }))
        << function;
  }
}

// An instant of a step's signal or install comes at that step's start.
struct InstantCase {
  const char *name;
  sim::InstantKind kind;
  sim::Step step;
};

const InstantCase kInstantCases[] = {
    {"signal End of DXE", sim::InstantKind::Signal, sim::Step::EndOfDxe},
    {"signal Ready to Boot", sim::InstantKind::Signal, sim::Step::ReadyToBoot},
    {"signal Exit Boot Services", sim::InstantKind::Signal, sim::Step::ExitBootServices},
    {"install PCI Enumeration Complete", sim::InstantKind::Install, sim::Step::PciEnumerationComplete},
    {"install DXE SMM Ready To Lock", sim::InstantKind::Install, sim::Step::SmmReadyToLock},
};

class TimelineInstants : public testing::TestWithParam<InstantCase> {};

TEST_P(TimelineInstants, ComeWhenTheStepStarted) {
  const InstantCase &c = GetParam();
  const sim::BootRecord &r = reference();
  sim::TimelineView view = sim::timelineView(r);
  auto step = std::find_if(r.timeline.begin(), r.timeline.end(),
                           [&](const sim::RecordedStep &s) { return s.step == c.step; });
  ASSERT_NE(step, r.timeline.end());
  EXPECT_TRUE(std::any_of(view.instants.begin(), view.instants.end(), [&](const sim::TimelineInstant &i) {
    return i.kind == c.kind && i.name == c.name && i.timeNs == step->startNs;
  }));
}

INSTANTIATE_TEST_SUITE_P(Reference, TimelineInstants, testing::ValuesIn(kInstantCases));

TEST(Timeline, HubWritesAreTheSpiControllersLogAndConsoleLinesTheUartsBytes) {
  const sim::BootRecord &r = reference();
  std::vector<uint64_t> fromTimeline, logged;
  for (const sim::HubWriteRecord &write : r.timing.hubWrites) {
    if (write.target == sim::HubTarget::Spi && write.offset == 0x1D) {
      fromTimeline.push_back(write.value);
    }
  }
  for (const sim::SpiByteWrite &write : r.spi->reg1DWrites) {
    logged.push_back(write.value);
  }
  EXPECT_EQ(fromTimeline, logged);
  EXPECT_FALSE(logged.empty());
  for (unsigned uart = 0; uart < 2; uart++) {
    std::string joined;
    uint64_t last = 0;
    for (const sim::ConsoleLineRecord &line : r.timing.consoleLines) {
      if (line.uart == uart) {
        joined += line.text + "\r\n";
        EXPECT_GE(line.timeNs, last);
        last = line.timeNs;
      }
    }
    EXPECT_EQ(joined, r.console.uarts[uart].bytes) << uart;
    EXPECT_LE(last, r.console.uarts[uart].runs.back().endNs);
  }
}

struct HaltCase {
  const char *name;      // the board
  sim::ImageCallEnd end; // of the call the boot ended in
};

const HaltCase kHaltCases[] = {
    {"reference", sim::ImageCallEnd::Returned},
    {"s3-wild-comm-buffer", sim::ImageCallEnd::DriverFault},
    {"s3-wild-private-data", sim::ImageCallEnd::DriverFault},
};

class TimelineHalts : public testing::TestWithParam<HaltCase> {};

TEST_P(TimelineHalts, TheLastCallEndsAsTheBootDid) {
  std::string board = std::string(KESH_SOURCE_DIR) + "/boards/" + GetParam().name + ".toml";
  sim::BootRecord r = boot(sim::loadBoardFile(board));
  ASSERT_FALSE(r.timing.calls.empty());
  EXPECT_EQ(r.timing.calls.back().end, GetParam().end);
  for (const sim::ImageCallRecord &call : r.timing.calls) {
    EXPECT_LE(call.startNs, call.endNs);
    EXPECT_FALSE(call.function.empty()) << call.image;
  }
}

INSTANTIATE_TEST_SUITE_P(Boards, TimelineHalts, testing::ValuesIn(kHaltCases));

struct EscapeCase {
  const char *name; // as the boot gave it
  const char *page; // as the page shows it
};

const EscapeCase kEscapeCases[] = {
    {"a<b>c", "a&lt;b&gt;c"},
    {"x\x01y", "x\\x01y"},
    {"\"q\" & 'r'", "&quot;q&quot; &amp; &#39;r&#39;"},
    {"caf\xC3\xA9", "caf\\xC3\\xA9"},
};

class HtmlEscapes : public testing::TestWithParam<EscapeCase> {};

TEST_P(HtmlEscapes, ConsoleBytesAndCheckTextShowEscaped) {
  const EscapeCase &c = GetParam();
  sim::BootRecord r;
  r.console.uarts[0].base = 0x3F8;
  r.timing.consoleLines.push_back(sim::ConsoleLineRecord{0, 1000, c.name});
  r.checks.push_back(sim::CheckResult{c.name, sim::Verdict::Fail, c.name, {}, std::nullopt, std::nullopt});
  std::string page = sim::htmlReport(r);
  EXPECT_EQ(page.find(c.name), std::string::npos);
  size_t shown = 0;
  for (size_t at = page.find(c.page); at != std::string::npos; at = page.find(c.page, at + 1)) {
    shown++;
  }
  EXPECT_GE(shown, 4u) << page; // the console line, its mark, the check's name and reason
  EXPECT_NO_THROW((void)sim::timelineJson(r).dump()); // dump() throws on bytes that are not UTF-8
}

INSTANTIATE_TEST_SUITE_P(Text, HtmlEscapes, testing::ValuesIn(kEscapeCases));

TEST(Timeline, TwoBootsOfOneBoardRenderTheSame) {
  sim::BootRecord first = boot(sim::referenceBoard());
  sim::BootRecord second = boot(sim::referenceBoard());
  EXPECT_EQ(sim::timelineJson(first).dump(1), sim::timelineJson(second).dump(1));
  EXPECT_EQ(sim::htmlReport(first), sim::htmlReport(second));
}

} // namespace
