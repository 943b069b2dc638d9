// SPDX-License-Identifier: BSD-2-Clause-Patent
// The USB and SD-card port policy over whole boots: NVRAM attributes and
// the System ID against what reaches the port control and hub protocols.
#include "BootHarness.h"

#include <gtest/gtest.h>

#include <array>
#include <map>

namespace {

using boot::Boot;
using boot::count;

using Attributes = std::map<std::u16string, std::u16string>;

sim::Board board(uint16_t systemId, Attributes attributes) {
  sim::Board board = sim::referenceBoard();
  board.timeline = {sim::Step::Load, sim::Step::EndOfDxe};
  board.identity = sim::IdentityConfig{systemId, {}, sim::IdentityConfig::GetId::Ok};
  board.nvram = sim::NvramConfig{std::move(attributes), {}};
  board.usbPortControl = true;
  board.mc5744 = true;
  // The SATA routine reads attributes of its own; without its protocol it reads none.
  board.sata.reset();
  return board;
}

struct Outcome {
  std::vector<std::array<uint32_t, 3>> portMasks;
  std::array<uint32_t, 4> enables{};
  size_t hubCalls = 0;
  std::string console;
  std::vector<std::u16string> reads;
};

Outcome run(const sim::Board &b) {
  Boot boot(b);
  Outcome out;
  if (const auto *usb = boot.simulation.usbPortControl()) {
    for (const auto &call : usb->calls()) {
      out.portMasks.push_back({call.controller, call.mask, call.value});
    }
  }
  if (const auto *hub = boot.simulation.mc5744()) {
    out.enables = hub->applied();
    out.hubCalls = hub->calls().size();
    if (out.hubCalls == 2) {
      EXPECT_EQ(hub->calls()[0].kind, sim::HubCall::Kind::SetPortEnables);
      EXPECT_EQ(hub->calls()[1].kind, sim::HubCall::Kind::ApplyConfig);
      EXPECT_EQ(hub->calls()[1].argument, 1u);
    }
  }
  if (const auto *nvram = boot.simulation.nvram()) {
    for (const auto &read : nvram->reads()) {
      out.reads.push_back(read.name);
      EXPECT_EQ(read.problem, "") << "the size and buffer must be reset before every read";
    }
  }
  out.console = boot.console();
  return out;
}

const Attributes kAllThree = {
    {u"UsbPorts", u"OnlyBackPortsOn"}, {u"InternalUsb", u"Off"}, {u"InternalSdCard", u"Off"}};
using Masks = std::vector<std::array<uint32_t, 3>>;
using Enables = std::array<uint32_t, 4>;

TEST(UsbPolicy, TheSystemIdMapsTheSettingsOntoTheHardware) {
  struct Case {
    uint16_t id;
    Attributes attributes;
    Masks masks;
    const char *locations; // nullptr: the hub is not called
    Enables enables;
  };
  const Case cases[] = {
      {2039, {}, {{0, 0, 0}}, "0x0", {1, 1, 1, 1}},
      {2040, kAllThree, {{0, 0xA, 0xA}}, "0x1", {1, 1, 0, 0}},
      {2039, {{u"InternalSdCard", u"Off"}}, {{0, 0x8, 0x8}}, "0x0", {1, 1, 1, 1}},
      {2041, {}, {}, "0x0", {1, 1, 1, 1}},
      {2041, kAllThree, {{0, 0xC, 0xC}}, "0x14", {1, 1, 1, 1}},
      {2041, {{u"InternalUsb", u"Off"}}, {}, "0x4", {1, 1, 1, 1}},
      {0x1234, kAllThree, {}, nullptr, {1, 1, 1, 1}},
  };
  for (const Case &c : cases) {
    Outcome out = run(board(c.id, c.attributes));
    SCOPED_TRACE(::testing::Message() << "System ID " << c.id);
    EXPECT_EQ(out.portMasks, c.masks);
    if (c.locations == nullptr) {
      EXPECT_EQ(out.hubCalls, 0u);
      EXPECT_EQ(count(out.console, "OrvexPlatformUsbDisable"), 0u);
    } else {
      EXPECT_EQ(
          count(out.console, std::string("OrvexPlatformUsbDisable Locations = ") + c.locations + "\r\n"), 1u)
          << out.console;
      EXPECT_EQ(count(out.console, "OrvexPlatformUsbDisable Locate MC5744 Protocol = Success\r\n"), 1u);
      EXPECT_EQ(out.hubCalls, 2u);
    }
    EXPECT_EQ(out.enables, c.enables);
  }
}

TEST(UsbPolicy, AllOffKeepsEveryHubPortOnAndSkipsEverythingElseOnEveryPlatform) {
  for (const char16_t *value : {u"AllOff", u"AllOffDynamic"}) {
    for (uint16_t id : {2039, 2040, 2041, 7}) {
      Attributes attributes = kAllThree;
      attributes[u"UsbPorts"] = value;
      sim::Board b = board(id, attributes);
      b.identity->getId = sim::IdentityConfig::GetId::Fail; // never consulted on this path
      Outcome out = run(b);
      EXPECT_TRUE(out.portMasks.empty()) << id;
      EXPECT_EQ(out.hubCalls, 2u) << id;
      EXPECT_EQ(out.enables, (Enables{1, 1, 1, 1}));
      EXPECT_EQ(out.reads, std::vector<std::u16string>{u"UsbPorts"}) << "no other attribute is read";
      EXPECT_EQ(count(out.console, "OrvexPlatformUsbDisable Locations = 0x0\r\n"), 1u);
    }
  }
}

TEST(UsbPolicy, ValuesMatchOnlyExactlyAndCaseSensitively) {
  Outcome out =
      run(board(2040, {{u"UsbPorts", u"alloff"}, {u"InternalUsb", u"OFF"}, {u"InternalSdCard", u"Off "}}));
  EXPECT_EQ(out.portMasks, (Masks{{0, 0, 0}}));
  EXPECT_EQ(count(out.console, "Locations = 0x0\r\n"), 1u);
}

TEST(UsbPolicy, AHiddenRedundantOsAddsItsLocationAndIsReadOnlyWhenHidden) {
  Outcome sd = run(board(2040, {{u"RedundantOsState", u"Hidden"}, {u"RedundantOsLocation", u"InternalSd"}}));
  EXPECT_EQ(sd.portMasks, (Masks{{0, 0x8, 0x8}}));
  Outcome usb =
      run(board(2041, {{u"RedundantOsState", u"Hidden"}, {u"RedundantOsLocation", u"InternalUsb"}}));
  EXPECT_EQ(count(usb.console, "Locations = 0x4\r\n"), 1u);
  Outcome card =
      run(board(2040, {{u"RedundantOsState", u"Hidden"}, {u"RedundantOsLocation", u"InternalSdCard"}}));
  EXPECT_EQ(card.portMasks, (Masks{{0, 0, 0}})) << "the attribute's name is not its location value";
  Outcome both = run(board(
      2040,
      {{u"InternalUsb", u"Off"}, {u"RedundantOsState", u"Hidden"}, {u"RedundantOsLocation", u"InternalSd"}}));
  EXPECT_EQ(both.portMasks, (Masks{{0, 0xA, 0xA}})) << "adds to, never clears, the settings read before";

  Outcome visible =
      run(board(2040, {{u"RedundantOsState", u"Visible"}, {u"RedundantOsLocation", u"InternalSd"}}));
  EXPECT_EQ(visible.portMasks, (Masks{{0, 0, 0}}));
  std::vector<std::u16string> expected = {u"UsbPorts", u"InternalUsb", u"InternalSdCard",
                                          u"RedundantOsState"};
  EXPECT_EQ(visible.reads, expected);
}

TEST(UsbPolicy, MissingProtocolsEndThePolicyAtTheirPlace) {
  {
    sim::Board b = board(2040, {{u"UsbPorts", u"AllOff"}});
    b.usbPortControl = false;
    Outcome out = run(b);
    EXPECT_TRUE(out.reads.empty());
    EXPECT_EQ(out.hubCalls, 0u);
  }
  {
    sim::Board b = board(2040, kAllThree);
    b.nvram.reset();
    Outcome out = run(b);
    EXPECT_TRUE(out.portMasks.empty());
    EXPECT_EQ(out.hubCalls, 0u);
  }
  for (auto broken : {sim::IdentityConfig::GetId::Fail, sim::IdentityConfig::GetId::NullRecord}) {
    sim::Board b = board(2040, kAllThree);
    b.identity->getId = broken;
    Outcome out = run(b);
    EXPECT_TRUE(out.portMasks.empty()) << "a record pointer left null is no System ID";
    EXPECT_EQ(out.hubCalls, 0u);
  }
  {
    sim::Board b = board(2040, kAllThree);
    b.mc5744 = false;
    Outcome out = run(b);
    EXPECT_EQ(out.portMasks, (Masks{{0, 0xA, 0xA}})) << "the port mask made before stands";
    EXPECT_NE(out.console.find("OrvexPlatformUsbDisable Locations = 0x1\r\n"
                               "OrvexPlatformUsbDisable Locate MC5744 Protocol = Not Found\r\n"),
              std::string::npos)
        << out.console;
    EXPECT_NE(out.console.find("KeshOnEndOfDxe() Exit"), std::string::npos);
  }
}

TEST(UsbPolicy, ValuesMustFitTheBufferWithTheirTerminator) {
  std::u16string thirty(30, u'x');
  {
    Boot boot(board(2040, {{u"UsbPorts", thirty}, {u"InternalUsb", thirty + u"y"}}));
    const auto &reads = boot.simulation.nvram()->reads();
    ASSERT_GE(reads.size(), 2u);
    EXPECT_EQ(reads[0].status, EFI_SUCCESS) << "30 units and the terminator fill 62 bytes exactly";
    EXPECT_EQ(reads[1].status, EFI_BUFFER_TOO_SMALL);
  }
  // An attribute store that leaves the terminator out is never read past the buffer.
  sim::Board b = board(2040, {{u"InternalUsb", u"Off"}});
  b.nvram->unterminated.insert(u"InternalUsb");
  Outcome out = run(b);
  EXPECT_EQ(out.portMasks, (Masks{{0, 0, 0}}));
}

} // namespace
