// SPDX-License-Identifier: BSD-2-Clause-Patent
// The embedded SATA port disable at End of DXE, over whole boots.
#include "BootHarness.h"

#include <gtest/gtest.h>

namespace {

using boot::Boot;
using boot::count;

constexpr uint32_t kDisable = 0x03101800;
const char kPrefix[] = "EmbeddedSataPortDisablement - ";

sim::Board board(uint16_t systemId, uint8_t mode, std::vector<sim::SataPortConfig> ports,
                 std::u16string location = u"Port5", std::u16string state = u"Hidden") {
  sim::Board b = sim::referenceBoard();
  b.timeline = {sim::Step::Load, sim::Step::EndOfDxe};
  b.identity = sim::IdentityConfig{systemId, {}, sim::IdentityConfig::GetId::Ok};
  b.nvram = sim::NvramConfig{{{u"RedundantOsState", state}, {u"RedundantOsLocation", location}}, {}};
  b.sata = sim::SataConfig{mode, std::move(ports), false, false, false};
  return b;
}

struct Result {
  std::string console;
  std::vector<sim::PcdWrite> pcd;                                       // the SATA tokens only
  std::map<uint8_t, std::vector<std::pair<uint32_t, uint32_t>>> writes; // per die
  std::vector<std::u16string> reads;
};

Result run(const sim::Board &b) {
  Boot boot(b);
  Result r;
  r.console = boot.console();
  for (const auto &write : boot.simulation.core().pcdWrites()) {
    if (write.token >= 228 && write.token <= 236) {
      r.pcd.push_back(write);
    }
  }
  for (const auto &[number, die] : boot.simulation.dies()) {
    if (!die->writes().empty()) {
      r.writes[number] = die->writes();
    }
  }
  for (const auto &read : boot.simulation.nvram()->reads()) {
    r.reads.push_back(read.name);
  }
  return r;
}

void expectNothing(const Result &r) {
  EXPECT_TRUE(r.pcd.empty());
  EXPECT_TRUE(r.writes.empty());
  EXPECT_EQ(count(r.console, kPrefix), 0u) << r.console;
}

using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

TEST(SataDisable, Die0PortIsRecordedPerPortAndBracketedByBit0) {
  Result r = run(board(2039, 0, {{u"SATA Port3", 3, 0}}, u"Port3"));
  ASSERT_EQ(r.pcd.size(), 1u) << r.console;
  EXPECT_EQ(r.pcd[0].token, 231u);
  EXPECT_EQ(r.pcd[0].size, 1u);
  EXPECT_EQ(r.pcd[0].value, 1u);
  EXPECT_EQ(count(r.console, "EmbeddedSataPortDisablement - Disable SATA Port 3 on Die 0\r\n"), 1u);
  EXPECT_EQ(r.writes[0], (Writes{{kDisable, 0x1}, {kDisable, 0x80001}, {kDisable, 0x80000}}));
  EXPECT_EQ(r.writes.size(), 1u);
}

TEST(SataDisable, SataMode1MovesADie0PortToDie2AndRefusesOthers) {
  Result moved = run(board(2040, 1, {{u"SATA Port0", 0, 0}}, u"Port0"));
  ASSERT_EQ(moved.pcd.size(), 1u);
  EXPECT_EQ(moved.pcd[0].token, 236u);
  EXPECT_EQ(moved.pcd[0].size, 8u);
  EXPECT_EQ(moved.pcd[0].value, 0x1000000u);
  EXPECT_EQ(moved.writes[2], (Writes{{kDisable, 0x1}, {kDisable, 0x10001}, {kDisable, 0x10000}}));

  expectNothing(run(board(2040, 1, {{u"SATA Port0", 0, 1}}, u"Port0")));

  Result other = run(board(2039, 0, {{u"SATA Port2", 2, 3}}, u"Port2"));
  EXPECT_EQ(other.writes.count(2), 1u) << "any die but 0 is die 2 on these systems";
}

TEST(SataDisable, System2041UsesTheEntrysDieAndReplacesTheMask) {
  sim::Board b = board(2041, 0, {{u"SATA Port5", 5, 1}});
  b.pcd[236] = sim::PcdToken{8, 0xFF00};
  Boot boot(b);
  std::optional<uint64_t> mask;
  for (const auto &write : boot.simulation.core().pcdWrites()) {
    if (write.token == 236) {
      mask = write.value;
    }
  }
  EXPECT_EQ(mask, 0x200000u);
  EXPECT_EQ(boot.simulation.core().pcdTokens().at(236).value, 0x200000u) << "replaced, not merged";
  EXPECT_EQ(boot.simulation.dies().at(1)->indirect(kDisable), 0x200000u);
  // Each read-modify-write reads the die's bus register afresh (0x8000C884: device 0x19, register 0x84).
  size_t busReads = 0;
  for (const auto &e : boot.simulation.machine().trace()) {
    busReads += e.kind == sim::AccessKind::IoWrite && e.address == 0xCF8 && e.value == 0x8000C884 ? 1 : 0;
  }
  EXPECT_EQ(busReads, 4u) << "once to check the die is there, then once per read-modify-write";
}

TEST(SataDisable, ADieRedefinedByALaterEntryIsTheOneUsed) {
  sim::Board b = board(2041, 0, {{u"SATA Port5", 5, 1}});
  b.dies.push_back(sim::BoardDie{1, 0x50, {}});
  Boot boot(b);
  EXPECT_EQ(boot.simulation.pci().read32({0, 0x19, 0}, 0x84), 0x50u);
  EXPECT_EQ(boot.simulation.dies().at(1)->indirect(kDisable), 0x200000u);
  EXPECT_EQ(boot.simulation.pci().read32({0x40, 0, 0}, 0xBC), 0xFFFFFFFFu)
      << "nothing left on the replaced bus";
}

TEST(SataDisable, OutOfRangeDiesAndPortsPrintBothLimitsAndWriteNothing) {
  struct Case {
    uint8_t die;
    uint16_t port;
    const char *dieText;
    const char *portText;
  };
  for (const Case &c : {Case{9, 5, "9", "5"}, Case{1, 8, "1", "8"}, Case{7, 0, "7", "0"}}) {
    Result r = run(board(2041, 0, {{u"SATA Port5", c.port, c.die}}));
    std::string expected = std::string(kPrefix) + "Out of Spec. - Target Die Number = " + c.dieText + "\r\n" +
                           kPrefix + "Out of Spec. - Target AHCI PortNumber = " + c.portText + "\r\n";
    EXPECT_NE(r.console.find(expected), std::string::npos) << r.console;
    EXPECT_TRUE(r.pcd.empty());
    EXPECT_TRUE(r.writes.empty());
  }
}

TEST(SataDisable, TheFirstMatchWinsAndAContainingNameMatches) {
  Result r = run(board(
      2041, 0, {{u"SATA Port1", 1, 1}, {u"Front SATA Port5 (hidden OS)", 5, 2}, {u"SATA Port5", 6, 3}}));
  EXPECT_EQ(r.writes.count(2), 1u);
  EXPECT_EQ(r.writes.size(), 1u);
}

TEST(SataDisable, UnusablePortListsMatchNothing) {
  expectNothing(run(board(2041, 0, {})));
  expectNothing(run(board(0x1234, 0, {{u"SATA Port1", 1, 1}})));
  expectNothing(run(board(2041, 0, {{std::nullopt, 5, 1}, {u"SATA Port1", 1, 1}})));
  sim::Board nullArray = board(2041, 0, {{u"SATA Port5", 5, 1}});
  nullArray.sata->nullArray = true;
  expectNothing(run(nullArray));
  sim::Board configFails = board(2041, 0, {{u"SATA Port5", 5, 1}});
  configFails.sata->getConfigFails = true;
  expectNothing(run(configFails));
  sim::Board listFails = board(2041, 0, {{u"SATA Port5", 5, 1}});
  listFails.sata->getPortListFails = true;
  expectNothing(run(listFails));
}

TEST(SataDisable, OnlyAHiddenStateWithAPortLocationActs) {
  Result visible = run(board(2041, 0, {{u"SATA Port5", 5, 1}}, u"Port5", u"hidden"));
  expectNothing(visible);
  EXPECT_EQ(std::count(visible.reads.begin(), visible.reads.end(), u"RedundantOsLocation"), 0)
      << "the location is read only after the state reads Hidden";
  for (const char16_t *location : {u"InternalUsb", u"InternalSd", u"port5"}) {
    expectNothing(run(board(2041, 0, {{u"SATA Port5", 5, 1}, {u"InternalUsb", 2, 1}}, location)));
  }
}

TEST(SataDisable, AnUnknownSystemIdIsReportedOnlyAfterAMatch) {
  Result r = run(board(0x1234, 0, {{u"SATA Port5", 5, 1}}));
  EXPECT_EQ(count(r.console, "EmbeddedSataPortDisablement - Unsupported System ID = 1234\r\n"), 1u)
      << r.console;
  EXPECT_TRUE(r.pcd.empty());
  EXPECT_TRUE(r.writes.empty());
}

TEST(SataDisable, MissingProtocolsAreReportedWithTheirStatus) {
  struct Case {
    void (*breakIt)(sim::Board &);
    const char *message;
  };
  const Case cases[] = {
      {[](sim::Board &b) { b.nvram.reset(); },
       "LocateProtocol gOrvexNvramAttributeProtocolGuid Error: Not Found\r\n"},
      {[](sim::Board &b) { b.sata.reset(); }, "LocateProtocol gVroSataProtocolGuid Error: Not Found\r\n"},
      {[](sim::Board &b) { b.identity.reset(); },
       "LocateProtocol VroPlatformIdProtocol Error: Not Found\r\n"},
      {[](sim::Board &b) { b.identity->getId = sim::IdentityConfig::GetId::Fail; },
       "VroPlatformIdProtocol->GetIdPtr Error: Device Error\r\n"},
      {[](sim::Board &b) { b.identity->getId = sim::IdentityConfig::GetId::NullRecord; },
       "VroPlatformIdProtocol->GetIdPtr Error: Protocol Error\r\n"},
  };
  for (const Case &c : cases) {
    sim::Board b = board(2041, 0, {{u"SATA Port5", 5, 1}});
    c.breakIt(b);
    Boot boot(b);
    EXPECT_EQ(count(boot.console(), std::string(kPrefix) + c.message), 1u) << boot.console();
    EXPECT_EQ(boot.simulation.dies().at(1)->writes().size(), 0u);
    for (const auto &write : boot.simulation.core().pcdWrites()) {
      EXPECT_FALSE(write.token >= 228 && write.token <= 236) << write.token;
    }
  }
}

// The bus of each configuration address the driver selected through 0xCF8.
std::vector<uint32_t> selectedBuses(const Boot &boot) {
  std::vector<uint32_t> out;
  for (const auto &e : boot.simulation.machine().trace()) {
    if (e.kind == sim::AccessKind::IoWrite && e.address == 0xCF8 && (e.value & 0x80000000u) != 0) {
      out.push_back(static_cast<uint32_t>(e.value >> 16) & 0xFF);
    }
  }
  return out;
}

TEST(SataDisable, APortOnADieTheBoardLacksIsReportedAndNeitherRecordedNorSwitched) {
  const std::string message = std::string(kPrefix) + "Die 5 Bus Register Error: 0xffffffff\r\n";
  for (uint32_t level : {0x80000000u, 0x40u}) {
    sim::Board b = board(2041, 0, {{u"SATA Port5", 5, 5}});
    b.setCmosErrorLevel(level);
    Boot boot(b);
    const std::string &console = boot.console();
    EXPECT_EQ(count(console, message), level == 0x80000000u ? 1u : 0u) << console;
    EXPECT_EQ(count(console, "Disable SATA Port"), 0u) << console;
    for (const auto &write : boot.simulation.core().pcdWrites()) {
      EXPECT_FALSE(write.token >= 228 && write.token <= 236) << write.token;
    }
    for (const auto &[number, die] : boot.simulation.dies()) {
      EXPECT_TRUE(die->writes().empty()) << "die " << int(number);
    }
    for (uint32_t bus : selectedBuses(boot)) {
      EXPECT_NE(bus, 0xFFu) << "nothing reaches the bus an absent die's register names";
    }
  }
  // The check is of the die's register, not of the bus number it holds.
  sim::Board last = board(2041, 0, {{u"SATA Port5", 5, 6}});
  last.dies.push_back(sim::BoardDie{6, 0xFF, {}});
  Boot boot(last);
  EXPECT_EQ(boot.simulation.dies().at(6)->indirect(kDisable), 0x200000u) << boot.console();
  EXPECT_EQ(boot.simulation.core().pcdTokens().at(236).value, 1ULL << 61);
}

TEST(SataDisable, ThePortSwitchIsNotReplayedOnResumeEvenWhileTheS3TableRecords) {
  // SMM ready-to-lock comes before End of DXE: captured writes would go into
  // the table that Ready to Boot hands to SMM.
  Boot boot(sim::loadBoardFile(std::string(KESH_SOURCE_DIR) + "/boards/redundant-os-sata.toml"));
  EXPECT_EQ(boot.simulation.dies().at(1)->indirect(kDisable), 0x200000u) << "switched off now";
  const auto *smm = boot.simulation.s3().smmCommunication();
  ASSERT_NE(smm, nullptr);
  EXPECT_TRUE(smm->calls().empty()) << "nothing was recorded, so nothing is handed off";
  EXPECT_EQ(boot.simulation.s3().debugPrint()->printedText().find("S3 SAVE"), std::string::npos);
}

} // namespace
