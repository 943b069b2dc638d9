// SPDX-License-Identifier: BSD-2-Clause-Patent
// PCI configuration access through CF8/CFC on the modelled host bridge.
#include "FirmwareHarness.h"
#include "Machine/Machine.h"
#include "Machine/Pci.h"

#include <Library/PciLib.h>
#include <Uefi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct PortAccess {
  sim::AccessKind kind;
  uint64_t port;
  unsigned width;
  uint64_t value;
  bool interrupts;
};

class PciCf8LibTest : public ::testing::Test {
protected:
  void SetUp() override {
    machine.mapIo(sim::PciHostBridge::kAddressPort, sim::PciHostBridge::kDataPort + 3, &bridge);
    auto &spi = space.add({0, 0x14, 3});
    spi[0xA0] = 0x02;
    spi[0xA1] = 0x00;
    spi[0xA2] = 0xC1;
    spi[0xA3] = 0xFE;
    space.add({1, 0, 0});
    space.write32({1, 0, 0}, 0x104, 0x12345678);
    space.write32({1, 0, 0}, 0x004, 0x00000007);
    for (uint8_t node = 0; node < 8; node++) {
      space.add({0, static_cast<uint8_t>(0x18 + node), 4});
    }
  }

  void setNode(uint32_t node) { machine.setCpuid(1, sim::CpuidRegs{0, node << 28 | 0x0800, 0, 0}); }

  // Port accesses since the mark, in order.
  std::vector<PortAccess> portsSince(size_t mark) const {
    std::vector<PortAccess> out;
    const auto &trace = machine.trace();
    for (size_t i = mark; i < trace.size(); i++) {
      const auto &e = trace[i];
      if (e.kind == sim::AccessKind::IoRead || e.kind == sim::AccessKind::IoWrite) {
        out.push_back({e.kind, e.address, e.width, e.value, e.interruptsEnabled});
      }
    }
    return out;
  }
  size_t mark() const { return machine.trace().size(); }

  sim::Machine machine;
  sim::PciConfigSpace space;
  sim::PciHostBridge bridge{machine, space};
  harness::MachineBinding binding{machine};
};

using sim::AccessKind;

TEST_F(PciCf8LibTest, ByteReadSelectsTheDataPortByte) {
  machine.ioWrite(0xCF8, 4, 0x1234);
  size_t m = mark();
  EXPECT_EQ(PciRead8(PCI_LIB_ADDRESS(0, 0x14, 3, 0xA1)), 0x00);
  EXPECT_EQ(PciRead8(PCI_LIB_ADDRESS(0, 0x14, 3, 0xA3)), 0xFE);
  auto ports = portsSince(m);
  ASSERT_EQ(ports.size(), 8u);
  // Save, address (same dword value as register 0xA0), data byte, restore.
  EXPECT_EQ(ports[0].kind, AccessKind::IoRead);
  EXPECT_EQ(ports[0].port, 0xCF8u);
  EXPECT_EQ(ports[1].kind, AccessKind::IoWrite);
  EXPECT_EQ(ports[1].value, 0x8000A3A0u);
  EXPECT_EQ(ports[2].port, 0xCFDu);
  EXPECT_EQ(ports[2].width, 1u);
  EXPECT_EQ(ports[3].value, 0x1234u) << "address port restored";
  EXPECT_EQ(ports[5].value, 0x8000A3A0u);
  EXPECT_EQ(ports[6].port, 0xCFFu);
  for (const auto &p : ports) {
    EXPECT_FALSE(p.interrupts) << "every access of the pair runs with interrupts off";
  }
  EXPECT_TRUE(machine.interruptsEnabled());
}

TEST_F(PciCf8LibTest, WordAndDwordAccessesUseTheirPortsAndReadModifyWrite) {
  size_t m = mark();
  EXPECT_EQ(PciOr16(PCI_LIB_ADDRESS(1, 0, 0, 0x06), 0x0100), 0x0100);
  EXPECT_EQ(PciAnd16(PCI_LIB_ADDRESS(1, 0, 0, 0x04), 0x0005), 0x0005);
  EXPECT_EQ(space.read32({1, 0, 0}, 0x04), 0x01000005u);
  auto ports = portsSince(m);
  ASSERT_EQ(ports.size(), 10u);
  EXPECT_EQ(ports[1].value, 0x80010004u);
  EXPECT_EQ(ports[2].port, 0xCFEu);
  EXPECT_EQ(ports[2].width, 2u);
  EXPECT_EQ(ports[3].kind, AccessKind::IoWrite);
  EXPECT_EQ(ports[3].port, 0xCFEu);
  EXPECT_EQ(ports[7].port, 0xCFCu);

  EXPECT_EQ(PciWrite32(PCI_LIB_ADDRESS(1, 0, 0, 0x0A2), 0xCAFEF00D), 0xCAFEF00Du);
  EXPECT_EQ(space.read32({1, 0, 0}, 0xA0), 0xCAFEF00Du) << "bits 1:0 of a dword address are ignored";
  EXPECT_TRUE(harness::console().empty()) << harness::console();
}

TEST_F(PciCf8LibTest, StandardDwordReadUsesNoEnableRegister) {
  size_t m = mark();
  EXPECT_EQ(PciRead32(0x000A30A0), 0xFEC10002u);
  auto ports = portsSince(m);
  ASSERT_EQ(ports.size(), 4u);
  EXPECT_EQ(ports[1].value, 0x8000A3A0u);
  for (const auto &e : machine.trace()) {
    EXPECT_NE(e.kind, AccessKind::Cpuid);
  }
}

TEST_F(PciCf8LibTest, ExtendedRegisterIsBracketedByTheNodesEnableRegister) {
  setNode(3);
  space.write32({0, 0x18 + 3, 4}, 0x44, 0x00000010);
  machine.ioWrite(0xCF8, 4, 0x80000000);
  size_t m = mark();
  EXPECT_EQ(PciRead32(PCI_LIB_ADDRESS(1, 0, 0, 0x104)), 0x12345678u);
  auto ports = portsSince(m);
  ASSERT_EQ(ports.size(), 9u);
  uint32_t enable = 0x8000C444 + 3 * 0x800;
  EXPECT_EQ(ports[0].value, enable);
  EXPECT_EQ(ports[1].port, 0xCFCu);
  EXPECT_EQ(ports[1].kind, AccessKind::IoRead);
  EXPECT_EQ(ports[2].value, 1u);
  EXPECT_TRUE(ports[2].interrupts) << "the enable steps keep the caller's interrupt state";
  EXPECT_EQ(ports[3].kind, AccessKind::IoRead);
  EXPECT_EQ(ports[4].value, 0x81010004u) << "register bits 11:8 in bits 27:24, bus in 19:16";
  EXPECT_FALSE(ports[4].interrupts);
  EXPECT_EQ(ports[6].value, enable) << "the saved address port value is the enable register's";
  EXPECT_EQ(ports[7].value, enable);
  EXPECT_EQ(ports[8].value, 0x00000010u) << "the enable register gets its old value back";
  EXPECT_EQ(space.read32({0, 0x18 + 3, 4}, 0x44), 0x10u);
  EXPECT_EQ(bridge.addressRegister(), enable);
}

TEST_F(PciCf8LibTest, ExtendedFormDropsTheUpperBusBits) {
  setNode(0);
  std::vector<uint64_t> values;
  for (uint8_t bus : {0x01, 0x11}) {
    size_t m = mark();
    PciRead32(PCI_LIB_ADDRESS(bus, 0, 0, 0x104));
    values.push_back(portsSince(m)[4].value);
  }
  EXPECT_EQ(values[0], values[1]);
  EXPECT_EQ(values[0], 0x81010004u);
}

TEST_F(PciCf8LibTest, WithoutTheEnableTheBridgeIgnoresTheExtendedBits) {
  // Only the bridge model is under test here: an extended address reaches
  // register 0x004 while the node's enable register is off.
  machine.ioWrite(0xCF8, 4, 0x81010004);
  EXPECT_EQ(machine.ioRead(0xCFC, 4), 0x00000007u);
  space.write32({0, 0x18, 4}, 0x44, 1);
  EXPECT_EQ(machine.ioRead(0xCFC, 4), 0x12345678u);
  machine.ioWrite(0xCF8, 4, 0x80020000);
  EXPECT_EQ(machine.ioRead(0xCFC, 4), 0xFFFFFFFFu) << "an absent function reads all ones";
}

TEST_F(PciCf8LibTest, InterruptStateIsRestoredNotForcedOn) {
  machine.setInterrupts(false);
  PciRead32(0x000A30A0);
  EXPECT_FALSE(machine.interruptsEnabled());
  machine.setInterrupts(true);
  PciRead8(0x000A30A1);
  EXPECT_TRUE(machine.interruptsEnabled());
}

TEST_F(PciCf8LibTest, AnInterruptUsingCf8NeverSeesAHalfDonePair) {
  // The handler reads another function's register and leaves the address
  // port pointing there, as a careless handler would. Whichever access it
  // arrives before, it must be taken outside the save..restore window.
  for (uint64_t after = 0; after < 4; after++) {
    machine.ioWrite(0xCF8, 4, 0x80001000);
    uint32_t seen = 0;
    machine.raiseInterrupt(after, [&]() {
      machine.ioWrite(0xCF8, 4, 0x80010004);
      seen = machine.ioRead(0xCFC, 4);
    });
    size_t m = mark();
    EXPECT_EQ(PciRead32(0x000A30A0), 0xFEC10002u) << "interrupt after " << after << " accesses";
    EXPECT_EQ(seen, 0x00000007u);
    EXPECT_EQ(machine.interruptsTaken(), after + 1);
    const auto &trace = machine.trace();
    size_t save = 0, restore = 0, taken = 0;
    for (size_t i = m; i < trace.size(); i++) {
      const auto &e = trace[i];
      if (e.kind == AccessKind::IoRead && e.address == 0xCF8 && save == 0) {
        save = i;
      } else if (e.kind == AccessKind::IoWrite && e.address == 0xCF8 && e.value == 0x80001000) {
        restore = i;
      } else if (e.kind == AccessKind::Interrupt) {
        taken = i;
      }
    }
    ASSERT_NE(taken, 0u);
    ASSERT_LT(save, restore);
    EXPECT_TRUE(taken < save || taken > restore) << "taken inside the critical section, after " << after;
    EXPECT_EQ(bridge.addressRegister(), taken > restore ? 0x80010004u : 0x80001000u);
  }
}

// The assertion expressions reported on the console, in order.
std::vector<std::string> assertionTexts() {
  std::vector<std::string> out;
  const std::string &text = harness::console();
  for (size_t at = text.find("ASSERT "); at != std::string::npos; at = text.find("ASSERT ", at + 1)) {
    size_t colon = text.find("): ", at);
    size_t end = text.find("\r\n", colon);
    out.push_back(text.substr(colon + 3, end - colon - 3));
  }
  return out;
}

// Each byte and word operation checks its address first; the report
// returns here, and the access is still made at the register bits the
// ports can carry.
TEST_F(PciCf8LibTest, ByteAndWordOperationsAssertOnAddressesTheyCannotReachAndStillAccess) {
  const std::string byteCheck = "((Address) & (~0xffff0ff | (0))) == 0";
  const std::string wordCheck = "((Address) & (~0xffff0ff | (1))) == 0";
  struct Op {
    const char *name;
    unsigned width;
    UINTN (*run)(UINTN address);
  };
  const Op ops[] = {
      {"PciRead8", 1, [](UINTN a) -> UINTN { return PciRead8(a); }},
      {"PciWrite8", 1, [](UINTN a) -> UINTN { return PciWrite8(a, 0x5A); }},
      {"PciOr8", 1, [](UINTN a) -> UINTN { return PciOr8(a, 0x10); }},
      {"PciRead16", 2, [](UINTN a) -> UINTN { return PciRead16(a); }},
      {"PciWrite16", 2, [](UINTN a) -> UINTN { return PciWrite16(a, 0x5A5A); }},
      {"PciOr16", 2, [](UINTN a) -> UINTN { return PciOr16(a, 0x0100); }},
      {"PciAnd16", 2, [](UINTN a) -> UINTN { return PciAnd16(a, 0xFFFF); }},
  };
  for (const Op &op : ops) {
    const std::string &check = op.width == 1 ? byteCheck : wordCheck;
    // Registers each width reaches: no report.
    for (UINTN reg : {UINTN{0x02}, UINTN{0xFE}}) {
      harness::console().clear();
      op.run(PCI_LIB_ADDRESS(1, 0, 0, reg));
      EXPECT_TRUE(assertionTexts().empty()) << op.name << " register " << reg << harness::console();
    }
    std::vector<UINTN> bad = {PCI_LIB_ADDRESS(1, 0, 0, 0x104), PCI_LIB_ADDRESS(1, 0, 0, 0x04) | 0x10000000};
    if (op.width == 1) {
      harness::console().clear();
      op.run(PCI_LIB_ADDRESS(1, 0, 0, 0x05));
      EXPECT_TRUE(assertionTexts().empty()) << op.name << ": any byte is aligned";
    } else {
      bad.push_back(PCI_LIB_ADDRESS(1, 0, 0, 0x05));
    }
    for (UINTN address : bad) {
      harness::console().clear();
      space.write32({1, 0, 0}, 0x04, 0x00000007);
      size_t m = mark();
      size_t breakpoints = machine.breakpointCount();
      op.run(address);
      EXPECT_EQ(assertionTexts(), std::vector<std::string>{check}) << op.name << " " << std::hex << address;
      EXPECT_EQ(machine.breakpointCount(), breakpoints + 1);
      // The access is made: the standard form of register 0x04 of 1:00.0.
      auto ports = portsSince(m);
      ASSERT_GE(ports.size(), 4u) << op.name;
      EXPECT_EQ(ports[1].value, 0x80010004u) << op.name << " " << std::hex << address;
      unsigned dataAccesses = 0;
      for (const PortAccess &p : ports) {
        dataAccesses += p.port >= 0xCFC && p.port <= 0xCFF && p.width == op.width ? 1 : 0;
      }
      EXPECT_GE(dataAccesses, 1u) << op.name;
    }
  }
}

} // namespace
