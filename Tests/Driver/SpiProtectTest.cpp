// SPDX-License-Identifier: BSD-2-Clause-Patent
// The SPI protection lock at End of DXE, over whole boots.
#include "BootHarness.h"

#include <gtest/gtest.h>

namespace {

using boot::Boot;
using boot::count;
using sim::AccessKind;

constexpr uint64_t kSpi = 0xFEC10000;

sim::Board board(std::optional<uint8_t> pwd) {
  sim::Board board = sim::referenceBoard();
  board.identity.reset();
  if (pwd) {
    board.identity = sim::IdentityConfig{2040, {{PLATFORM_STATE_PWD, *pwd}}, sim::IdentityConfig::GetId::Ok};
  }
  return board;
}

TEST(SpiProtect, PwdInsertedLocksThenRestrictsThenClearsBit22) {
  Boot boot(board(1));
  const std::string &console = boot.console();
  const char *lines[] = {"ActivateSpiProtectLock() - Start\r\n",
                         "SPI Protection is LOCKED !!\r\n",
                         "PWD is inserted - Set SPI Restricted Command!!\r\n",
                         "  SpiCtr1        = 0x0\r\n",
                         "  RestrictedCmd  = 0x2d82001\r\n",
                         "  RestrictedCmd2 = 0x60c706\r\n",
                         "ActivateSpiProtectLock() - End\r\n"};
  size_t at = console.find("KeshOnEndOfDxe() Entry");
  for (const char *line : lines) {
    size_t next = console.find(line, at);
    ASSERT_NE(next, std::string::npos) << line << " missing in\n" << console;
    at = next;
  }
  sim::SpiRegisters regs = boot.simulation.spi()->registers();
  EXPECT_EQ(regs.reg1D & 0x28, 0x28);
  EXPECT_EQ(regs.restrictedCmd, 0x02D82001u);
  EXPECT_EQ(regs.restrictedCmd2, 0x0060C706u);
  EXPECT_EQ(regs.control, 0u) << "bit 22 of 0x00400000 cleared";

  size_t protect = boot.firstAccess(AccessKind::MmioWrite, kSpi + 0x1D, 0x08);
  size_t lock = boot.firstAccess(AccessKind::MmioWrite, kSpi + 0x1D, 0x28);
  size_t cmd = boot.firstAccess(AccessKind::MmioWrite, kSpi + 0x04);
  size_t cmd2 = boot.firstAccess(AccessKind::MmioWrite, kSpi + 0x08);
  size_t control = boot.firstAccess(AccessKind::MmioWrite, kSpi + 0x00);
  EXPECT_LT(protect, lock);
  EXPECT_LT(lock, cmd);
  EXPECT_LT(cmd, cmd2);
  EXPECT_LT(cmd2, control) << "restricted commands go in before bit 22 is cleared";
  EXPECT_NE(boot.consoleBefore(cmd).find("SPI Protection is LOCKED !!\r\n"), std::string::npos)
      << "the lock is announced before the restricted commands are written";
  EXPECT_TRUE(boot.simulation.assertions().empty());
}

TEST(SpiProtect, Bit22AlreadyClearIsStillWrittenBack) {
  sim::Board b = board(1);
  b.spi.control = 0x12000034;
  Boot boot(b);
  EXPECT_EQ(boot.accesses(AccessKind::MmioWrite, kSpi + 0x00), 1u);
  EXPECT_EQ(boot.simulation.spi()->registers().control, 0x12000034u);
}

TEST(SpiProtect, OnlyAnAnswerOfExactlyOneMeansInserted) {
  for (uint8_t answer : {0, 2, 0xFF}) {
    Boot boot(board(answer));
    ASSERT_EQ(boot.simulation.identity()->queries(), std::vector<uint32_t>{PLATFORM_STATE_PWD});
    EXPECT_EQ(boot.simulation.spi()->registers().reg1D & 0x28, 0x08) << int(answer);
    for (uint64_t offset : {0x00, 0x04, 0x08}) {
      EXPECT_EQ(boot.accesses(AccessKind::MmioWrite, kSpi + offset), 0u);
      EXPECT_EQ(boot.accesses(AccessKind::MmioRead, kSpi + offset), 0u);
    }
    EXPECT_EQ(count(boot.console(), "SPI Protection is LOCKED"), 0u);
    EXPECT_EQ(count(boot.console(), "ActivateSpiProtectLock() - End\r\n"), 1u);
  }
}

TEST(SpiProtect, WithoutTheIdentityProtocolOnlyProtectionIsArmed) {
  Boot boot(board(std::nullopt));
  const std::string &console = boot.console();
  size_t start = console.find("ActivateSpiProtectLock() - Start\r\n");
  ASSERT_NE(start, std::string::npos);
  EXPECT_EQ(console.find("ActivateSpiProtectLock() - End\r\n"), start + 34)
      << "nothing between Start and End";
  EXPECT_EQ(boot.simulation.spi()->registers().reg1D, 0x0C) << "protect, and WriteBufferEn from enumeration";
}

TEST(SpiProtect, DumpReadsOnlyWhenErrorsPrint) {
  sim::Board b = board(1);
  b.setCmosErrorLevel(0x40);
  Boot boot(b);
  EXPECT_EQ(count(boot.console(), "PWD is inserted"), 0u);
  EXPECT_EQ(count(boot.console(), "SpiCtr1"), 0u);
  EXPECT_EQ(boot.accesses(AccessKind::MmioRead, kSpi + 0x00), 1u) << "only the read-modify-write";
  EXPECT_EQ(boot.accesses(AccessKind::MmioRead, kSpi + 0x04), 0u);
  EXPECT_EQ(boot.accesses(AccessKind::MmioRead, kSpi + 0x08), 0u);
  EXPECT_EQ(boot.simulation.spi()->registers().restrictedCmd, 0x02D82001u)
      << "the writes do not depend on it";
  EXPECT_EQ(count(boot.console(), "SPI Protection is LOCKED !!\r\n"), 1u);
}

TEST(SpiProtect, AnUnusableBaseStopsBeforeAnyWriteWithoutTheEndLine) {
  for (uint32_t bar : {0xFFFFFFFFu, 0u}) {
    sim::Board b = board(1);
    b.pci[0].registers[1].second = bar;
    b.timeline = {sim::Step::Load, sim::Step::EndOfDxe};
    Boot boot(b);
    const std::string &console = boot.console();
    EXPECT_NE(console.find("ActivateSpiProtectLock() - Start\r\nSPI Base Address is incorrect !!\r\n"),
              std::string::npos)
        << console;
    EXPECT_EQ(count(console, "ActivateSpiProtectLock() - End"), 0u);
    EXPECT_TRUE(boot.simulation.identity()->queries().empty());
    for (const auto &e : boot.simulation.machine().trace()) {
      EXPECT_NE(e.kind, AccessKind::MmioWrite);
    }
  }
}

} // namespace
