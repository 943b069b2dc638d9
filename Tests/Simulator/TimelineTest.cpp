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
#include <ostream>

namespace {

const std::string kImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";

// The record only: one simulated core may live in a thread at a time.
sim::BootRecord boot(const sim::Board &board) {
  sim::Simulation simulation(board, kImage);
  simulation.run();
  return simulation.record();
}

const sim::BootRecord &reference() {
  static const sim::BootRecord record = boot(sim::referenceBoard());
  return record;
}

TEST(Timeline, EveryNotifyRunIsASliceOnItsImagesTrackWithTheRecordsTimes) {
  const sim::BootRecord &r = reference();
  sim::TimelineView view = sim::timelineView(r);
  nlohmann::json events = sim::timelineJson(r)["traceEvents"];
  size_t notifies = 0;
  for (const sim::RecordedEvent &event : r.events) {
    if (event.notifies == 0) {
      continue;
    }
    ASSERT_FALSE(event.notifyFunction.empty()) << event.owner;
    notifies++;
    std::vector<const sim::TimelineSlice *> slices;
    for (const sim::TimelineSlice &slice : view.slices) {
      if (slice.image == event.owner && slice.function == event.notifyFunction) {
        slices.push_back(&slice);
      }
    }
    ASSERT_EQ(slices.size(), event.notifies) << event.notifyFunction;
    for (const sim::TimelineSlice *slice : slices) {
      EXPECT_LE(slice->startNs, slice->endNs) << event.notifyFunction;
      EXPECT_EQ(view.tracks[slice->track], event.owner);
      EXPECT_EQ(slice->tpl, sim::tplName(event.tpl));
      auto json = std::find_if(events.begin(), events.end(), [&](const nlohmann::json &e) {
        return e["ph"] == "X" && e["args"].value("function", "") == slice->function &&
               e["args"]["start_ns"] == slice->startNs;
      });
      ASSERT_NE(json, events.end()) << event.notifyFunction;
      EXPECT_DOUBLE_EQ((*json)["ts"].get<double>(), static_cast<double>(slice->startNs) / 1000);
      EXPECT_DOUBLE_EQ((*json)["dur"].get<double>(),
                       static_cast<double>(slice->endNs - slice->startNs) / 1000);
    }
  }
  EXPECT_GE(notifies, 3u); // PCI enumeration, End of DXE, Ready to Boot at least
  // Only hardware accesses take virtual time: these print, so they last.
  for (const char *function :
       {"_ModuleEntryPoint", "KeshOnPciEnumComplete", "KeshOnEndOfDxe", "KeshOnReadyToBoot"}) {
    EXPECT_TRUE(std::any_of(view.slices.begin(), view.slices.end(), [&](const sim::TimelineSlice &slice) {
      return slice.function == function && slice.startNs < slice.endNs;
    })) << function;
  }
  auto entry = std::find_if(r.timing.calls.begin(), r.timing.calls.end(),
                            [](const sim::ImageCallRecord &call) { return call.entryPoint; });
  ASSERT_NE(entry, r.timing.calls.end());
  EXPECT_EQ(entry->image, "KeshInitDxe");
  EXPECT_EQ(entry->tpl, static_cast<EFI_TPL>(TPL_APPLICATION));
}

// Instants stand for facts the record has from elsewhere: the time a step
// signalled its group, the writes the SPI controller logged.
struct InstantCase {
  const char *name;
  sim::InstantKind kind;
  const char *text;
  std::optional<sim::Step> atStep; // its time is that step's start
  size_t atLeast;
};

const InstantCase kInstantCases[] = {
    {"end of dxe", sim::InstantKind::Signal, "signal End of DXE", sim::Step::EndOfDxe, 1},
    {"ready to boot", sim::InstantKind::Signal, "signal Ready to Boot", sim::Step::ReadyToBoot, 1},
    {"pci enumeration", sim::InstantKind::Install, "install PCI Enumeration Complete",
     sim::Step::PciEnumerationComplete, 1},
    {"exit boot services", sim::InstantKind::Signal, "signal Exit Boot Services", sim::Step::ExitBootServices,
     1},
    {"spi lock byte", sim::InstantKind::RegisterWrite, "SPI 0x1D = ", std::nullopt, 2},
    {"console", sim::InstantKind::ConsoleLine, "KeshInitEntryPoint Entry", std::nullopt, 2},
};

void PrintTo(const InstantCase &c, std::ostream *out) {
  *out << c.name;
}

class TimelineInstants : public testing::TestWithParam<InstantCase> {};

TEST_P(TimelineInstants, StandForTheRecordsFacts) {
  const InstantCase &c = GetParam();
  const sim::BootRecord &r = reference();
  sim::TimelineView view = sim::timelineView(r);
  std::vector<const sim::TimelineInstant *> found;
  for (const sim::TimelineInstant &instant : view.instants) {
    if (instant.kind == c.kind && instant.name.rfind(c.text, 0) == 0) {
      found.push_back(&instant);
    }
  }
  ASSERT_GE(found.size(), c.atLeast);
  if (c.atStep) {
    auto step = std::find_if(r.timeline.begin(), r.timeline.end(),
                             [&](const sim::RecordedStep &s) { return s.step == *c.atStep; });
    ASSERT_NE(step, r.timeline.end());
    EXPECT_TRUE(std::any_of(found.begin(), found.end(),
                            [&](const sim::TimelineInstant *i) { return i->timeNs == step->startNs; }));
  }
}

INSTANTIATE_TEST_SUITE_P(Reference, TimelineInstants, testing::ValuesIn(kInstantCases), [](const auto &info) {
  std::string name = info.param.name;
  std::replace(name.begin(), name.end(), ' ', '_');
  return name;
});

TEST(Timeline, EverySpiByteWriteTheControllerLoggedIsAnInstantInOrder) {
  const sim::BootRecord &r = reference();
  ASSERT_TRUE(r.spi.has_value());
  std::vector<uint64_t> fromTimeline;
  for (const sim::HubWriteRecord &write : r.timing.hubWrites) {
    if (write.target == sim::HubTarget::Spi && write.offset == 0x1D) {
      fromTimeline.push_back(write.value);
    }
  }
  std::vector<uint64_t> logged;
  for (const sim::SpiByteWrite &write : r.spi->reg1DWrites) {
    logged.push_back(write.value);
  }
  EXPECT_EQ(fromTimeline, logged);
  EXPECT_FALSE(logged.empty());
}

TEST(Timeline, ConsoleLinesAreTheUartsBytesInOrderOfTime) {
  const sim::BootRecord &r = reference();
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
  const char *board;
  sim::ImageCallEnd end; // of the call the halt ended
};

const HaltCase kHaltCases[] = {
    {"reference.toml", sim::ImageCallEnd::Returned},
    {"s3-wild-comm-buffer.toml", sim::ImageCallEnd::DriverFault},
    {"s3-wild-private-data.toml", sim::ImageCallEnd::DriverFault},
};

void PrintTo(const HaltCase &c, std::ostream *out) {
  *out << c.board;
}

class TimelineHalts : public testing::TestWithParam<HaltCase> {};

TEST_P(TimelineHalts, TheLastCallEndsAsTheBootDid) {
  sim::BootRecord r = boot(sim::loadBoardFile(std::string(KESH_SOURCE_DIR) + "/boards/" + GetParam().board));
  ASSERT_FALSE(r.timing.calls.empty());
  const sim::ImageCallRecord &last = r.timing.calls.back();
  EXPECT_EQ(last.end, GetParam().end);
  for (const sim::ImageCallRecord &call : r.timing.calls) {
    EXPECT_LE(call.startNs, call.endNs);
    EXPECT_FALSE(call.function.empty()) << call.image;
  }
}

INSTANTIATE_TEST_SUITE_P(Boards, TimelineHalts, testing::ValuesIn(kHaltCases), [](const auto &info) {
  std::string name = info.param.board;
  name = name.substr(0, name.find('.'));
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
});

struct EscapeCase {
  const char *text;
  const char *page; // how it shows
  const char *never;
};

const EscapeCase kEscapeCases[] = {
    {"a<b>c", "a&lt;b&gt;c", "a<b>c"},
    {"x\x01y", "x\\x01y", "x\x01y"},
    {"\"q\" & 'r'", "&quot;q&quot; &amp; &#39;r&#39;", "\"q\" & 'r'"},
    {"caf\xC3\xA9", "caf\\xC3\\xA9", "caf\xC3\xA9"},
    {"</pre><script>", "&lt;/pre&gt;&lt;script&gt;", "<script>"},
};

void PrintTo(const EscapeCase &c, std::ostream *out) {
  *out << c.page;
}

class HtmlEscapes : public testing::TestWithParam<EscapeCase> {};

TEST_P(HtmlEscapes, ConsoleBytesAndCheckTextShowEscaped) {
  const EscapeCase &c = GetParam();
  sim::BootRecord r;
  r.boardName = "escape";
  r.console.uarts[0].base = 0x3F8;
  r.console.uarts[1].base = 0x2F8;
  r.timing.consoleLines.push_back(sim::ConsoleLineRecord{0, 1000, c.text});
  r.checks.push_back(sim::CheckResult{c.text, sim::Verdict::Fail, c.text, {}, std::nullopt, std::nullopt});
  std::string page = sim::htmlReport(r);
  EXPECT_NE(page.find(c.page), std::string::npos) << page;
  EXPECT_EQ(page.find(c.never), std::string::npos);
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
