// SPDX-License-Identifier: BSD-2-Clause-Patent
// The console's devices as firmware sees them through the port bus: the
// 16550 UART model, CMOS RAM and the Super I/O.
#include "Machine/Cmos.h"
#include "Machine/Machine.h"
#include "Machine/SuperIo.h"
#include "Machine/Uart16550.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr uint16_t kBase = 0x3F8;
constexpr unsigned kThr = 0, kIer = 1, kIir = 2, kLcr = 3, kMcr = 4, kLsr = 5, kMsr = 6, kScr = 7;
constexpr uint8_t kThre = 0x20, kTemt = 0x40;
constexpr uint64_t k115200CharacterNs = 86806; // 10 bits at 115200 baud, rounded
constexpr uint64_t k9600CharacterNs = 1041667;

struct Uart {
  explicit Uart(sim::UartConfig config = {}) : uart(machine, kBase, config) {
    machine.mapIo(kBase, kBase + 7, &uart);
  }
  uint8_t read(unsigned reg) { return static_cast<uint8_t>(machine.ioRead(kBase + reg, 1)); }
  void write(unsigned reg, uint8_t value) { machine.ioWrite(kBase + reg, 1, value); }
  void program(uint16_t divisor, uint8_t lcr, uint8_t fcr) {
    write(kLcr, 0x80);
    write(kThr, static_cast<uint8_t>(divisor));
    write(kIer, static_cast<uint8_t>(divisor >> 8));
    write(kLcr, lcr);
    write(kIir, fcr);
  }
  void send(const std::string &text) {
    for (char c : text) {
      write(kThr, static_cast<uint8_t>(c));
    }
  }
  // Polls the line status until TEMT; the virtual time it took.
  uint64_t waitForEmpty() {
    uint64_t start = machine.nowNs();
    while ((read(kLsr) & kTemt) == 0) {
    }
    return machine.nowNs() - start;
  }

  sim::Machine machine;
  sim::Uart16550 uart;
};

TEST(Uart16550, ComesOutOfResetIdleAt9600AndKeepsItsRegisters) {
  Uart u;
  EXPECT_EQ(u.read(kLsr), kThre | kTemt);
  EXPECT_EQ(u.read(kIir), 0x01);
  EXPECT_EQ(u.read(kMsr), 0xB0);
  EXPECT_EQ(u.read(kThr), 0x00) << "nothing is ever received";
  EXPECT_EQ(u.uart.settings(), (sim::LineSettings{0x000C, 0x00}));
  // The divisor latch shares offsets 0 and 1 with THR and IER.
  u.write(kLcr, 0x83);
  u.write(kThr, 0x34);
  u.write(kIer, 0x12);
  EXPECT_EQ(u.read(kThr), 0x34);
  u.write(kLcr, 0x03);
  u.write(kIer, 0x05);
  u.write(kMcr, 0xEB);
  EXPECT_EQ(u.read(kIer), 0x05);
  EXPECT_EQ(u.read(kMcr), 0x0B);
  EXPECT_EQ(u.uart.settings(), (sim::LineSettings{0x1234, 0x03}));
  EXPECT_TRUE(u.uart.holdingWrites().empty()) << "latch writes are not characters";
}

TEST(Uart16550, TheFifoBitsOfIirFollowFcrUnlessTheBoardHidesThem) {
  Uart u;
  u.write(kIir, 0x01);
  EXPECT_EQ(u.read(kIir), 0xC1);
  u.write(kIir, 0x00);
  EXPECT_EQ(u.read(kIir), 0x01);
  Uart hiding(sim::UartConfig{.fifoReportsOff = true});
  hiding.write(kIir, 0x07);
  EXPECT_EQ(hiding.read(kIir), 0x01);
  EXPECT_TRUE(hiding.uart.fifoEnabled()) << "the FIFOs work, only the report is off";
}

TEST(Uart16550, TheTransmitterIsPacedByTheProgrammedSpeed) {
  Uart fast;
  fast.program(1, 0x03, 0x01);
  fast.send("A");
  EXPECT_EQ(fast.read(kLsr), kThre) << "the character moved on to the shift register at once";
  uint64_t took = fast.waitForEmpty();
  EXPECT_GE(took + 2000, k115200CharacterNs);
  EXPECT_LE(took, k115200CharacterNs + 1000);

  Uart slow;
  slow.program(12, 0x03, 0x01);
  slow.send(std::string(16, 'x'));
  took = slow.waitForEmpty();
  EXPECT_GE(took + 20000, 16 * k9600CharacterNs);
  EXPECT_LE(took, 16 * k9600CharacterNs + 1000);
  ASSERT_EQ(slow.uart.runs().size(), 1u);
  EXPECT_EQ(slow.uart.runs()[0].endNs - slow.uart.runs()[0].startNs, 16 * k9600CharacterNs)
      << "characters follow each other without a gap";
  EXPECT_EQ(slow.uart.bytes(), std::string(16, 'x'));
}

TEST(Uart16550, SixteenBytesWaitBehindTheShiftRegisterAndMoreAreLost) {
  Uart u;
  u.program(1, 0x03, 0x01);
  u.send("0123456789abcdefgh"); // 18 bytes, far faster than the line
  const auto &writes = u.uart.holdingWrites();
  ASSERT_EQ(writes.size(), 18u);
  EXPECT_TRUE(writes[0].transmitterEmpty);
  EXPECT_FALSE(writes[1].transmitterEmpty);
  EXPECT_EQ(writes[16].fifoLevel, 15u);
  EXPECT_FALSE(writes[16].lost);
  EXPECT_TRUE(writes[17].lost);
  EXPECT_EQ(u.uart.pending(), 17u);
  u.uart.drain();
  EXPECT_EQ(u.uart.bytes(), "0123456789abcdefg");

  Uart noFifo;
  noFifo.program(1, 0x03, 0x00);
  noFifo.send("abc");
  EXPECT_EQ(noFifo.read(kLsr) & (kThre | kTemt), 0x00);
  noFifo.uart.drain();
  EXPECT_EQ(noFifo.uart.bytes(), "ab") << "one holding register without the FIFOs";

  Uart cleared;
  cleared.program(1, 0x03, 0x01);
  cleared.send("abcd");
  cleared.write(kIir, 0x05);
  cleared.uart.drain();
  EXPECT_EQ(cleared.uart.bytes(), "a");
  EXPECT_EQ(cleared.uart.lost(), 3u);
}

TEST(Uart16550, EachCharacterIsCapturedWithTheSettingsItWentOutAt) {
  Uart u;
  u.program(1, 0x03, 0x01);
  u.send("ab");
  u.program(12, 0x1B, 0x01); // while 'a' is still on the line
  u.send("c");
  u.uart.drain();
  EXPECT_EQ(u.uart.bytes(), "abc");
  ASSERT_EQ(u.uart.runs().size(), 2u);
  EXPECT_EQ(u.uart.runs()[0].settings.text(), "115200 8N1");
  EXPECT_EQ(u.uart.runs()[0].count, 1u);
  EXPECT_EQ(u.uart.runs()[1].first, 1u);
  EXPECT_EQ(u.uart.runs()[1].settings.text(), "9600 8E1");
  EXPECT_EQ(u.uart.runs()[1].endNs - u.uart.runs()[1].startNs, 2 * 1145833u) << "11 bits at 9600 baud";
}

TEST(LineSettings, BitsPerCharacterFollowTheLineControlRegister) {
  EXPECT_EQ((sim::LineSettings{1, 0x03}).halfBitsPerCharacter(), 20u); // 8N1
  EXPECT_EQ((sim::LineSettings{1, 0x07}).halfBitsPerCharacter(), 22u); // 8N2
  EXPECT_EQ((sim::LineSettings{1, 0x1A}).halfBitsPerCharacter(), 20u); // 7E1
  EXPECT_EQ((sim::LineSettings{1, 0x04}).halfBitsPerCharacter(), 15u); // 5N1.5
  EXPECT_EQ((sim::LineSettings{6, 0x03}).text(), "19200 8N1");
  EXPECT_EQ((sim::LineSettings{2, 0x3B}).text(), "57600 8S1");
  EXPECT_EQ((sim::LineSettings{12, 0x2B}).text(), "9600 8M1");
  EXPECT_EQ((sim::LineSettings{1, 0x04}).text(), "115200 5N1.5");
  EXPECT_EQ((sim::LineSettings{12, 0x03}).characterNs(), k9600CharacterNs);
}

TEST(Uart16550, StuckAbsentOrUndecodedUartsSendNothing) {
  Uart stuck(sim::UartConfig{.neverDrains = true});
  EXPECT_EQ(stuck.read(kLsr) & (kThre | kTemt), 0x00);
  stuck.program(1, 0x03, 0x01);
  stuck.send(std::string(20, 'z'));
  stuck.uart.drain();
  EXPECT_TRUE(stuck.uart.bytes().empty());
  EXPECT_EQ(stuck.uart.pending(), 16u);
  EXPECT_EQ(stuck.uart.lost(), 4u);

  Uart absent(sim::UartConfig{.present = false});
  EXPECT_EQ(absent.read(kLsr), 0xFF);

  Uart gated;
  bool decoding = false;
  gated.uart.setDecodeGate(&decoding);
  EXPECT_EQ(gated.read(kIir), 0xFF);
  gated.write(kLcr, 0x03);
  gated.send("lost");
  decoding = true;
  EXPECT_EQ(gated.read(kLcr), 0x00);
  gated.uart.drain();
  EXPECT_TRUE(gated.uart.bytes().empty());
  EXPECT_EQ(gated.uart.accesses(), 7u) << "every access counts, decoded or not";
  EXPECT_EQ(gated.uart.accessNs(), 7 * gated.machine.accessCostNs());
}

// ---------------------------------------------------------------------------
// Busy-waits with and without the fast path: what the firmware and the
// trace see must not differ.

// The console library's wait: TRUE when the bits came, FALSE when given up.
bool waitFor(Uart &u, uint8_t bits) {
  for (uint64_t poll = 0; poll < sim::Machine::kWaitPollLimit; poll++) {
    if ((u.read(kLsr) & bits) == bits) {
      return true;
    }
  }
  return false;
}

struct Snapshot {
  uint64_t nowNs = 0;
  std::vector<std::string> trace;
  uint64_t accesses = 0;
  uint64_t accessNs = 0;
  std::string bytes;
  size_t holdingWrites = 0;
  uint64_t interrupts = 0;
  std::vector<bool> waits;
  bool operator==(const Snapshot &) const = default;
};

Snapshot snapshot(Uart &u, std::vector<bool> waits) {
  Snapshot out{u.machine.nowNs(),
               {},
               u.uart.accesses(),
               u.uart.accessNs(),
               u.uart.bytes(),
               u.uart.holdingWrites().size(),
               u.machine.interruptsTaken(),
               std::move(waits)};
  for (const sim::TraceEntry &e : u.machine.trace()) {
    out.trace.push_back(std::to_string(static_cast<int>(e.kind)) + " " + std::to_string(e.address) + " w" +
                        std::to_string(e.width) + " " + std::to_string(e.value) + ".." +
                        std::to_string(e.lastValue) + " x" + std::to_string(e.repeat) + " @" +
                        std::to_string(e.timeNs) + (e.interruptsEnabled ? " IF" : ""));
  }
  return out;
}

// Runs the scenario on a UART with the fast path off and on; the snapshots
// must agree, and the fast run must have skipped reads (else nothing was
// compared).
template <typename Scenario> void expectSameWithFastPolls(Scenario scenario, bool skips = true) {
  Snapshot results[2];
  uint64_t skipped[2] = {};
  for (int fast = 0; fast < 2; fast++) {
    Uart u;
    u.machine.setFastPolls(fast == 1);
    std::vector<bool> waits = scenario(u);
    results[fast] = snapshot(u, waits);
    skipped[fast] = u.machine.skippedPolls();
  }
  EXPECT_EQ(skipped[0], 0u);
  if (skips) {
    EXPECT_GT(skipped[1], 0u) << "the fast path was never taken";
  } else {
    EXPECT_EQ(skipped[1], 0u);
  }
  EXPECT_EQ(results[0].nowNs, results[1].nowNs);
  EXPECT_EQ(results[0].trace, results[1].trace);
  EXPECT_TRUE(results[0] == results[1]);
}

TEST(FastPolls, WaitsEndAtTheSameReadAndTimeAsWithoutThem) {
  expectSameWithFastPolls([](Uart &u) {
    u.program(1, 0x03, 0x01);
    std::vector<bool> waits;
    u.send("sixteen bytes...");
    waits.push_back(waitFor(u, kTemt));
    u.send("five.");
    waits.push_back(waitFor(u, kThre)); // ends while the last character is still going out
    waits.push_back(waitFor(u, kThre | kTemt));
    u.program(12, 0x03, 0x00); // 9600 baud, FIFOs off
    u.send("x");
    waits.push_back(waitFor(u, kTemt));
    return waits;
  });
}

// A status read that is not repeated is no wait: reading once while the
// transmitter works, then writing, takes two accesses' time.
TEST(FastPolls, ASingleOrDoubleStatusReadIsNoWait) {
  expectSameWithFastPolls(
      [](Uart &u) {
        u.program(1, 0x03, 0x01);
        u.send("abc");
        u.read(kLsr);
        u.write(kScr, 1);
        u.read(kLsr);
        u.read(kLsr);
        u.write(kScr, 2);
        return std::vector<bool>{};
      },
      false);
}

// Nothing is skipped past an interrupt: it comes at the same port access,
// and the wait goes on after its handler.
TEST(FastPolls, AnInterruptComesAtTheSameAccess) {
  expectSameWithFastPolls([](Uart &u) {
    u.program(1, 0x03, 0x01);
    u.send("sixteen bytes...");
    std::vector<bool> waits;
    waits.push_back(waitFor(u, kTemt)); // skipped reads before the interrupt is raised
    u.send("sixteen more....");
    u.machine.raiseInterrupt(600, [&u]() { u.write(kScr, 0x5A); });
    waits.push_back(waitFor(u, kTemt));
    return waits;
  });
}

// Without the trace, the clock and the counts still come out the same.
TEST(FastPolls, WithoutTheTraceTimeAndCountsAgree) {
  expectSameWithFastPolls([](Uart &u) {
    u.machine.setTraceEnabled(false);
    u.program(1, 0x03, 0x01);
    u.send("sixteen bytes...");
    return std::vector<bool>{waitFor(u, kTemt)};
  });
}

TEST(Cmos, Bit7OfTheIndexMasksNmisAndIsNoAddressBit) {
  sim::CmosBytes bytes{};
  bytes[0x7A] = 0x40;
  sim::Cmos cmos(bytes);
  sim::Machine machine;
  machine.mapIo(0x70, 0x71, &cmos);
  machine.ioWrite(0x70, 1, 0xFA);
  EXPECT_TRUE(cmos.state().nmiMasked);
  EXPECT_EQ(machine.ioRead(0x71, 1), 0x40u);
  machine.ioWrite(0x70, 1, 0x6F);
  EXPECT_FALSE(cmos.state().nmiMasked);
  machine.ioWrite(0x71, 1, 0x06);
  EXPECT_EQ(cmos.byte(0x6F), 0x06);
  EXPECT_EQ(machine.ioRead(0x70, 1), 0xFFu) << "the index latch is write-only";
  EXPECT_EQ(cmos.reads(0x7A), 1u);
  EXPECT_EQ(cmos.totalReads(), 1u);
}

TEST(SuperIo, EachLogicalDeviceDecodesOnlyWhileActiveAtItsBase) {
  sim::SuperIo superIo;
  sim::Machine machine;
  machine.mapIo(0x4E, 0x4F, &superIo);
  auto set = [&](uint8_t index, uint8_t value) {
    machine.ioWrite(0x4E, 1, index);
    machine.ioWrite(0x4F, 1, value);
  };
  const bool *flag3F8 = superIo.decodeFlag(3, 0x3F8);
  const bool *flag2F8 = superIo.decodeFlag(3, 0x2F8);
  EXPECT_EQ(superIo.decodeFlag(3, 0x3F8), flag3F8) << "one flag per device and base";
  EXPECT_EQ(superIo.device(3), sim::SuperIoDevice{}) << "all off out of reset";
  for (auto [index, value] :
       {std::pair{0x07, 0x03}, {0x60, 0x03}, {0x61, 0xF8}, {0x70, 0x04}, {0x30, 0x02}}) {
    set(static_cast<uint8_t>(index), static_cast<uint8_t>(value));
  }
  EXPECT_FALSE(superIo.decodes(3, 0x3F8)) << "only bit 0 activates";
  EXPECT_FALSE(*flag3F8);
  set(0x30, 0x01);
  EXPECT_EQ(superIo.device(3), (sim::SuperIoDevice{1, 0x3F8, 4}));
  EXPECT_TRUE(superIo.decodes(3, 0x3F8));
  EXPECT_FALSE(superIo.decodes(3, 0x2F8));
  EXPECT_TRUE(*flag3F8);
  EXPECT_FALSE(*flag2F8);
  set(0x61, 0xE8);
  EXPECT_FALSE(*flag3F8) << "moved away from its base";
  set(0x61, 0xF8);
  EXPECT_TRUE(*flag3F8);
  set(0x07, 0x02);
  set(0x30, 0x00);
  EXPECT_TRUE(*flag3F8) << "another device's registers leave it alone";
  machine.ioWrite(0x4E, 1, 0x30);
  EXPECT_EQ(machine.ioRead(0x4F, 1), 0x00u) << "device 2 keeps its own registers";
  EXPECT_EQ(superIo.writes().size(), 10u);
  EXPECT_EQ(superIo.writes()[1].device, 3);

  sim::SuperIo early(sim::SuperIoConfig{.setUpEarlier = true, .devices = {}});
  EXPECT_EQ(early.device(3), (sim::SuperIoDevice{1, 0x3F8, 4}));
  EXPECT_EQ(early.device(2), (sim::SuperIoDevice{1, 0x2F8, 3}));
  EXPECT_TRUE(*early.decodeFlag(2, 0x2F8)) << "a flag made after the set-up starts from it";
}

} // namespace
