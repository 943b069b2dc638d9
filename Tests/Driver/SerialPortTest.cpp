// SPDX-License-Identifier: BSD-2-Clause-Patent
// The dual serial console linked statically with a machine that carries
// CMOS, the Super I/O and both UART models: the Super I/O hook, the UART
// set-up at the CMOS speed, and the burst writer with its waits bounded in
// time on the ACPI PM timer.
#include "FirmwareHarness.h"
#include "Machine/Cmos.h"
#include "Machine/Devices.h"
#include "Machine/Machine.h"
#include "Machine/SuperIo.h"
#include "Machine/Uart16550.h"

#include <Library/DualSerialPortLib.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using sim::AccessKind;

// The console's bound on a status wait, in virtual time, and how far past
// it a wait may run: the status reads between two timer reads.
constexpr uint64_t kWaitNs = 100000000;
// The untimed reads and one stride at 1 us a read, and what the writes cost.
constexpr uint64_t kOverrunNs = 6000000;
// A burst of 16 characters draining at 115200 baud.
constexpr uint64_t kBurstNs = 1400000;
// Without a running timer, a wait ends after this many status reads.
constexpr uint64_t kStalledPolls = 100000;

struct Wiring {
  uint8_t speedByte = 0x00; // CMOS 0x6F
  bool pmTimer = true;      // false: nothing decodes port 0x408
  uint32_t pmTimerStart = 0;
  uint64_t accessCostNs = 1000;
  sim::SuperIoConfig superIo{};
  sim::UartConfig uart3F8{};
  sim::UartConfig uart2F8{};
};

sim::CmosBytes cmosWithSpeed(uint8_t speedByte) {
  sim::CmosBytes bytes{};
  bytes[0x6F] = speedByte;
  return bytes;
}

// The machine as a board would wire it: each UART decodes while its
// logical device is active at its base, unless an earlier phase set the
// Super I/O up.
struct Bench {
  explicit Bench(const Wiring &setup = {})
      : cmos(cmosWithSpeed(setup.speedByte)), superIo(setup.superIo), uart3F8(machine, 0x3F8, setup.uart3F8),
        uart2F8(machine, 0x2F8, setup.uart2F8), pmTimer(machine, setup.pmTimerStart) {
    machine.setAccessCostNs(setup.accessCostNs);
    if (setup.pmTimer) {
      machine.mapIo(sim::AcpiPmTimer::kPort, sim::AcpiPmTimer::kPort + 3, &pmTimer);
    }
    machine.mapIo(0x70, 0x71, &cmos);
    machine.mapIo(0x4E, 0x4F, &superIo);
    machine.mapIo(0x3F8, 0x3FF, &uart3F8);
    machine.mapIo(0x2F8, 0x2FF, &uart2F8);
    if (!setup.superIo.setUpEarlier) {
      uart3F8.setDecodeGate(superIo.decodeFlag(3, 0x3F8));
      uart2F8.setDecodeGate(superIo.decodeFlag(2, 0x2F8));
    }
  }

  size_t mark() const { return machine.trace().size(); }
  // (offset, value) of every write to a UART's registers since the mark.
  std::vector<std::pair<unsigned, uint8_t>> writes(uint16_t base, size_t from = 0) const {
    std::vector<std::pair<unsigned, uint8_t>> out;
    const auto &trace = machine.trace();
    for (size_t i = from; i < trace.size(); i++) {
      if (trace[i].kind == AccessKind::IoWrite && trace[i].address >= base && trace[i].address < base + 8u) {
        out.emplace_back(static_cast<unsigned>(trace[i].address - base),
                         static_cast<uint8_t>(trace[i].value));
      }
    }
    return out;
  }
  uint64_t accesses(AccessKind kind, uint16_t port, size_t from = 0) const {
    uint64_t n = 0;
    const auto &trace = machine.trace();
    for (size_t i = from; i < trace.size(); i++) {
      n += trace[i].kind == kind && trace[i].address == port ? trace[i].repeat : 0;
    }
    return n;
  }
  UINTN write(const std::string &text) {
    return SerialPortWrite(reinterpret_cast<UINT8 *>(const_cast<char *>(text.data())), text.size());
  }
  void drain() {
    uart3F8.drain();
    uart2F8.drain();
  }

  sim::Machine machine;
  sim::Cmos cmos;
  sim::SuperIo superIo;
  sim::Uart16550 uart3F8;
  sim::Uart16550 uart2F8;
  sim::AcpiPmTimer pmTimer;
  harness::MachineBinding binding{machine};
};

// A stuck UART's status wait: how long it lasted and what it read.
struct StuckWait {
  uint64_t ns = 0;
  uint64_t statusReads = 0;
  uint64_t timerReads = 0;
};

StuckWait stuckWaitAtSetUp(const Wiring &setup) {
  Bench bench(setup);
  uint64_t start = bench.machine.nowNs();
  EXPECT_EQ(SerialPortInitialize(), RETURN_SUCCESS);
  StuckWait wait;
  wait.ns = bench.machine.nowNs() - start;
  wait.statusReads = bench.accesses(AccessKind::IoRead, 0x2FD);
  wait.timerReads = bench.accesses(AccessKind::IoRead, sim::AcpiPmTimer::kPort);
  EXPECT_EQ(bench.writes(0x2F8).size(), 9u) << "programmed once given up";
  return wait;
}

// A Super I/O and UARTs an earlier phase left decoding at 115200 8N1.
Wiring programmedEarlier() {
  Wiring setup;
  setup.superIo.setUpEarlier = true;
  setup.uart3F8 = sim::UartConfig{.divisor = 1, .lcr = 0x03, .fcr = 0x01};
  setup.uart2F8 = setup.uart3F8;
  return setup;
}

// ---------------------------------------------------------------------------
// The Super I/O hook.

TEST(SuperIoHook, ProgramsBothUartDevicesInTableOrderWhenNeitherIsActive) {
  Bench bench;
  EXPECT_EQ(PlatformHookSerialPortInitialize(), RETURN_SUCCESS);
  std::vector<std::pair<uint8_t, uint8_t>> written;
  for (const auto &write : bench.superIo.writes()) {
    written.emplace_back(write.index, write.value);
  }
  std::vector<std::pair<uint8_t, uint8_t>> expected = {
      {0x07, 0x03}, {0x07, 0x02}, // the two activation reads select their device first
      {0x07, 0x03}, {0x60, 0x03}, {0x61, 0xF8}, {0x70, 0x04}, {0x30, 0x01},
      {0x07, 0x02}, {0x60, 0x02}, {0x61, 0xF8}, {0x70, 0x03}, {0x30, 0x01}};
  EXPECT_EQ(written, expected);
  // Each activation is read from register 0x30 of the selected device.
  const auto &trace = bench.machine.trace();
  ASSERT_GT(trace.size(), 8u);
  EXPECT_EQ(trace[2].value, 0x30u);
  EXPECT_EQ(trace[3].kind, AccessKind::IoRead);
  EXPECT_EQ(trace[3].address, 0x4Fu);
  EXPECT_EQ(trace[7].kind, AccessKind::IoRead);
  EXPECT_EQ(bench.accesses(AccessKind::IoRead, 0x4F), 2u);
  EXPECT_EQ(bench.superIo.device(3), (sim::SuperIoDevice{1, 0x3F8, 4}));
  EXPECT_EQ(bench.superIo.device(2), (sim::SuperIoDevice{1, 0x2F8, 3}));
  EXPECT_TRUE(bench.uart3F8.decoding());
  EXPECT_TRUE(bench.uart2F8.decoding());
}

TEST(SuperIoHook, OneUartDeviceReadingExactly1MeansAnEarlierPhaseSetItUp) {
  struct Case {
    uint8_t device;
    uint8_t activation;
    size_t writes; // the two device selections of the reads, and the table's ten
  };
  for (const Case &c : {Case{2, 0x01, 2}, Case{3, 0x01, 2}, Case{2, 0x03, 12}}) {
    Wiring setup;
    uint16_t base = c.device == 3 ? 0x3F8 : 0x2F8;
    setup.superIo.devices[c.device] = sim::SuperIoDevice{c.activation, base, 5};
    Bench bench(setup);
    EXPECT_EQ(PlatformHookSerialPortInitialize(), RETURN_SUCCESS);
    EXPECT_EQ(bench.superIo.writes().size(), c.writes) << int(c.device) << " " << int(c.activation);
    if (c.writes == 2) {
      EXPECT_EQ(bench.superIo.device(c.device), (sim::SuperIoDevice{1, base, 5}));
      EXPECT_EQ(bench.superIo.device(c.device == 3 ? 2 : 3), sim::SuperIoDevice{})
          << "the other one stays off";
    }
  }
}

// ---------------------------------------------------------------------------
// UART set-up.

TEST(SerialPortInitialize, TheCmosSpeedBitsSelectTheDivisorOfBothUarts) {
  const std::pair<uint8_t, uint16_t> selections[] = {{0x00, 1}, {0x01, 1}, {0x02, 2},  {0x03, 2},
                                                     {0x04, 6}, {0x05, 6}, {0x06, 12}, {0x07, 12},
                                                     {0xF9, 1}, {0xFE, 12}};
  for (const auto &[speedByte, divisor] : selections) {
    Bench bench(Wiring{.speedByte = speedByte});
    EXPECT_EQ(SerialPortInitialize(), RETURN_SUCCESS);
    for (const sim::Uart16550 *uart : {&bench.uart3F8, &bench.uart2F8}) {
      EXPECT_EQ(uart->settings(), (sim::LineSettings{divisor, 0x03}))
          << int(speedByte) << " " << uart->base();
      EXPECT_TRUE(uart->fifoEnabled());
      EXPECT_EQ(uart->state().mcr, 0x00);
    }
    EXPECT_EQ(bench.cmos.reads(0x6F), 2u) << "read again for each UART";
    EXPECT_EQ(bench.cmos.totalReads(), 2u);
  }
}

TEST(SerialPortInitialize, AResetUartIsProbedThenProgrammedInOrder) {
  Bench bench;
  ASSERT_EQ(SerialPortInitialize(), RETURN_SUCCESS);
  // clang-format off
  std::vector<std::pair<unsigned, uint8_t>> expected = {
      {3, 0x80}, {3, 0x00},                       // divisor read: DLAB on, off
      {3, 0x80}, {1, 0x00}, {0, 0x01}, {3, 0x03}, // divisor 1, 8N1
      {2, 0x00}, {2, 0x01},                       // FIFOs off, then on
      {4, 0x00}};                                 // modem control
  // clang-format on
  EXPECT_EQ(bench.writes(0x3F8), expected);
  EXPECT_EQ(bench.writes(0x2F8), expected);
  // The first UART is done before the second is touched.
  size_t lastOf3F8 = 0, firstOf2F8 = 0;
  const auto &trace = bench.machine.trace();
  for (size_t i = 0; i < trace.size(); i++) {
    if (trace[i].address >= 0x3F8 && trace[i].address < 0x400) {
      lastOf3F8 = i;
    }
    if (firstOf2F8 == 0 && trace[i].address >= 0x2F8 && trace[i].address < 0x300) {
      firstOf2F8 = i;
    }
  }
  EXPECT_LT(lastOf3F8, firstOf2F8);
}

// A UART found at the selected divisor with 8N1 in its low six LCR bits is
// left as it is, FIFO and modem control included; anything else is set up.
TEST(SerialPortInitialize, OnlyAUartAlreadyAtTheSelectedSettingsIsLeftUntouched) {
  struct Case {
    uint8_t speedByte;
    uint16_t divisor;
    uint8_t lcr;
    bool untouched;
  };
  const Case cases[] = {
      {0x00, 1, 0x03, true},  {0x06, 12, 0x03, true},
      {0x06, 12, 0x43, true}, // the break bit is not line control
      {0x00, 1, 0x07, false}, // 8N2
      {0x00, 2, 0x03, false}, // 57600
      {0x04, 6, 0x1B, false}, {0x02, 0x0102, 0x03, false},
  };
  for (const Case &c : cases) {
    Wiring setup{.speedByte = c.speedByte};
    setup.uart3F8 = sim::UartConfig{.divisor = c.divisor, .lcr = c.lcr, .mcr = 0x0B, .fcr = 0xC1};
    Bench bench(setup);
    ASSERT_EQ(SerialPortInitialize(), RETURN_SUCCESS);
    std::vector<std::pair<unsigned, uint8_t>> probeOnly = {{3, static_cast<uint8_t>(c.lcr | 0x80)},
                                                           {3, c.lcr}};
    if (c.untouched) {
      EXPECT_EQ(bench.writes(0x3F8), probeOnly) << c.divisor << " " << int(c.lcr);
      EXPECT_EQ(bench.uart3F8.state().mcr, 0x0B);
      EXPECT_EQ(bench.uart3F8.state().fcr, 0xC1);
    } else {
      EXPECT_EQ(bench.writes(0x3F8).size(), 9u) << c.divisor << " " << int(c.lcr);
      EXPECT_EQ(bench.uart3F8.state().mcr, 0x00);
    }
    EXPECT_EQ(bench.writes(0x2F8).size(), 9u) << "the reset one beside it is set up";
  }
}

// Whatever a status read costs: at 50 ns a read, a full FIFO of an earlier
// phase at 9600 or 2400 baud takes hundreds of thousands of reads to drain.
TEST(SerialPortInitialize, OutputOfAnEarlierPhaseGoesOutBeforeTheUartIsReprogrammed) {
  struct Case {
    uint16_t divisor;
    std::string earlier;
    uint64_t accessCostNs;
  };
  const Case cases[] = {{12, "PEI\r\n", 1000},
                        {12, "PEI 0123456789\r\n", 50},
                        {48, "PEI 0123456789\r\n", 50},
                        {12, "PEI 0123456789\r\n", 5000}};
  for (const Case &c : cases) {
    Wiring setup;
    setup.superIo.setUpEarlier = true;
    setup.uart3F8 = sim::UartConfig{.divisor = c.divisor, .lcr = 0x03, .fcr = 0x01};
    setup.accessCostNs = c.accessCostNs;
    Bench bench(setup);
    ASSERT_LE(c.earlier.size(), 17u) << "a FIFO and the shift register";
    for (char ch : c.earlier) {
      bench.machine.ioWrite(0x3F8, 1, static_cast<uint8_t>(ch));
    }
    size_t from = bench.mark();
    ASSERT_EQ(SerialPortInitialize(), RETURN_SUCCESS);
    bench.write("DXE");
    bench.drain();
    SCOPED_TRACE(fmt::format("divisor {}, {} ns a read", c.divisor, c.accessCostNs));
    EXPECT_EQ(bench.uart3F8.bytes(), c.earlier + "DXE");
    ASSERT_EQ(bench.uart3F8.runs().size(), 2u);
    EXPECT_EQ(bench.uart3F8.runs()[0].settings, (sim::LineSettings{c.divisor, 0x03}));
    EXPECT_EQ(bench.uart3F8.runs()[0].count, c.earlier.size());
    EXPECT_EQ(bench.uart3F8.runs()[1].settings.text(), "115200 8N1");
    // The divisor was rewritten only once the last earlier character had left.
    const auto &trace = bench.machine.trace();
    bool rewritten = false;
    for (size_t i = from; i < trace.size() && !rewritten; i++) {
      if (trace[i].kind == AccessKind::IoWrite && trace[i].address == 0x3F9) {
        EXPECT_GE(trace[i].timeNs, bench.uart3F8.runs()[0].endNs);
        rewritten = true;
      }
    }
    EXPECT_TRUE(rewritten);
    EXPECT_EQ(bench.uart3F8.lost(), 0u);
  }
}

TEST(SerialPortInitialize, AUartThatNeverDrainsIsGivenUpAfterTheBoundAndStillProgrammed) {
  Wiring setup;
  setup.uart2F8.neverDrains = true;
  Bench bench(setup);
  uint64_t start = bench.machine.nowNs();
  ASSERT_EQ(SerialPortInitialize(), RETURN_SUCCESS);
  uint64_t took = bench.machine.nowNs() - start;
  EXPECT_GE(took, kWaitNs);
  EXPECT_LT(took, kWaitNs + kOverrunNs);
  EXPECT_EQ(bench.accesses(AccessKind::IoRead, 0x3FD), 1u);
  EXPECT_EQ(bench.writes(0x2F8).size(), 9u);
  EXPECT_EQ(bench.uart3F8.settings().text(), "115200 8N1");
  EXPECT_EQ(bench.uart3F8.lost() + bench.uart2F8.lost(), 0u);
  // Given up there, it costs the writes after set-up no wait.
  start = bench.machine.nowNs();
  std::string message(40, 'm');
  EXPECT_EQ(bench.write(message), 40u);
  EXPECT_LT(bench.machine.nowNs() - start, kOverrunNs);
  bench.drain();
  EXPECT_EQ(bench.uart3F8.bytes(), message);
}

// The bound is a time, whatever a status read costs; where reads are cheap
// and many, reading the timer adds little to them.
TEST(SerialPortInitialize, TheBoundOnAWaitIsTheSameTimeAtAnyAccessCost) {
  for (uint64_t cost : {50u, 333u, 1000u, 7000u, 250000u}) {
    Wiring setup;
    setup.uart2F8.neverDrains = true;
    setup.accessCostNs = cost;
    StuckWait wait = stuckWaitAtSetUp(setup);
    EXPECT_GE(wait.ns, kWaitNs) << cost;
    EXPECT_LT(wait.ns, kWaitNs + kOverrunNs + (4096 + 256) * cost) << cost;
    if (cost <= 7000) {
      EXPECT_LT(wait.timerReads, wait.statusReads / 100 + 20) << cost;
    }
  }
}

// A 24-bit counter about to wrap, and one that cannot be read at all (a
// port nothing decodes reads all ones) or that never moves.
TEST(SerialPortInitialize, TheWaitSurvivesATimerWrapAndEndsWithoutARunningTimer) {
  for (uint32_t start : {0x00FFFF00u, 0x00FC0000u, 0x00FFFFFFu}) {
    Wiring setup;
    setup.uart2F8.neverDrains = true;
    setup.pmTimerStart = start;
    StuckWait wait = stuckWaitAtSetUp(setup);
    EXPECT_GE(wait.ns, kWaitNs) << start;
    EXPECT_LT(wait.ns, kWaitNs + kOverrunNs) << start;
  }
  // Absent, at a cost where the time bound alone would take 2,000,000
  // reads; present, with no virtual time passing, so it never moves.
  for (uint64_t cost : {50u, 0u}) {
    Wiring setup;
    setup.uart2F8.neverDrains = true;
    setup.pmTimer = cost == 0;
    setup.accessCostNs = cost;
    StuckWait wait = stuckWaitAtSetUp(setup);
    EXPECT_GE(wait.statusReads, kStalledPolls) << cost;
    EXPECT_LT(wait.statusReads, kStalledPolls + 4096 + 300) << cost;
    EXPECT_LT(wait.timerReads, 420u) << cost;
  }
}

// ---------------------------------------------------------------------------
// Writing.

class SerialPortWriteTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(SerialPortInitialize(), RETURN_SUCCESS); }
  Bench bench;
};

// The UART and CMOS accesses of a write, one token each: a status wait is
// one token however many reads it took, and the timer reads that pace it
// are left out.
std::vector<std::string> accessPattern(const Bench &bench, size_t from) {
  std::vector<std::string> out;
  const auto &trace = bench.machine.trace();
  uint64_t lastStatusPort = 0;
  for (size_t i = from; i < trace.size(); i++) {
    const auto &e = trace[i];
    if (e.kind == AccessKind::IoRead && e.address == sim::AcpiPmTimer::kPort) {
      continue;
    }
    if (e.kind == AccessKind::IoRead && (e.address == 0x3FD || e.address == 0x2FD)) {
      if (lastStatusPort == e.address) {
        out.pop_back(); // the same wait, resumed after a timer read
      }
      lastStatusPort = e.address;
      // A status wait ends on a read that shows the transmitter empty.
      out.push_back(fmt::format("wait{:X}{}", e.address, (e.lastValue & 0x40) != 0 ? "" : "-unfinished"));
      continue;
    }
    lastStatusPort = 0;
    if (e.kind == AccessKind::IoRead) {
      out.push_back(fmt::format("read{:X}", e.address));
    } else if (e.kind == AccessKind::IoWrite) {
      out.push_back(fmt::format("write{:X}", e.address));
    }
  }
  return out;
}

std::vector<std::string> burstPattern(const std::vector<size_t> &bursts) {
  std::vector<std::string> out;
  for (size_t size : bursts) {
    // The FIFO state of both UARTs, then both transmitters empty.
    out.insert(out.end(), {"read3FA", "read2FA", "wait3FD", "wait2FD"});
    for (size_t i = 0; i < size; i++) {
      out.insert(out.end(), {"write3F8", "write2F8"});
    }
  }
  return out;
}

TEST_F(SerialPortWriteTest, FortyBytesGoOutInBurstsOf16And16And8EachAfterBothTransmittersDrain) {
  std::string message = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
  ASSERT_EQ(message.size(), 40u);
  size_t from = bench.mark();
  uint64_t start = bench.machine.nowNs();
  EXPECT_EQ(bench.write(message), 40u);
  EXPECT_EQ(accessPattern(bench, from), burstPattern({16, 16, 8}));
  // Two bursts drained before the third went in: the writer keeps pace with the line.
  uint64_t character = (sim::LineSettings{1, 0x03}).characterNs();
  EXPECT_GE(bench.machine.nowNs() - start, 32 * character);
  EXPECT_LT(bench.machine.nowNs() - start, 33 * character);
  for (const sim::Uart16550 *uart : {&bench.uart3F8, &bench.uart2F8}) {
    std::vector<size_t> burstStarts;
    for (size_t i = 0; i < uart->holdingWrites().size(); i++) {
      const sim::HoldingWrite &write = uart->holdingWrites()[i];
      if (write.transmitterEmpty) {
        burstStarts.push_back(i);
      }
      EXPECT_LT(write.fifoLevel, 16u);
    }
    EXPECT_EQ(burstStarts, (std::vector<size_t>{0, 16, 32})) << uart->base();
    EXPECT_EQ(uart->lost(), 0u);
  }
  bench.drain();
  EXPECT_EQ(bench.uart3F8.bytes(), message);
  EXPECT_EQ(bench.uart2F8.bytes(), message);
  ASSERT_EQ(bench.uart2F8.runs().size(), 1u);
  EXPECT_EQ(bench.uart2F8.runs()[0].settings.text(), "115200 8N1");
}

TEST_F(SerialPortWriteTest, AFlushWaitsForBothTransmittersAndSendsNothing) {
  bench.write(std::string(20, 'f'));
  size_t writes = bench.uart2F8.holdingWrites().size();
  size_t from = bench.mark();
  UINT8 byte = 'x';
  EXPECT_EQ(SerialPortWrite(&byte, 0), 0u);
  EXPECT_EQ(bench.uart2F8.holdingWrites().size(), writes);
  EXPECT_EQ(bench.uart3F8.pending(), 0u) << "drained when the flush returned";
  EXPECT_EQ(bench.uart2F8.pending(), 0u);
  EXPECT_EQ(accessPattern(bench, from), (std::vector<std::string>{"wait3FD", "wait2FD"}));
}

TEST_F(SerialPortWriteTest, ANullBufferTouchesNoPort) {
  size_t from = bench.mark();
  EXPECT_EQ(SerialPortWrite(nullptr, 5), 0u);
  EXPECT_EQ(SerialPortWrite(nullptr, 0), 0u);
  EXPECT_EQ(bench.mark(), from);
}

TEST(SerialPortWrite, APrimaryReportingItsFifosOffGetsNothingWrittenToEitherUart) {
  Wiring setup = programmedEarlier();
  setup.uart3F8.fifoReportsOff = true;
  Bench bench(setup);
  size_t from = bench.mark();
  EXPECT_EQ(bench.write("lost message\n"), 0u);
  EXPECT_EQ(accessPattern(bench, from), (std::vector<std::string>{"read3FA"}));
  EXPECT_TRUE(bench.uart2F8.holdingWrites().empty());
  // The mirror's own report is never read.
  Wiring mirror = programmedEarlier();
  mirror.uart2F8.fifoReportsOff = true;
  Bench second(mirror);
  EXPECT_EQ(second.write("mirrored\n"), 9u);
  second.drain();
  EXPECT_EQ(second.uart2F8.bytes(), "mirrored\n");
}

TEST(SerialPortWrite, ANeverDrainingUartIsGivenUpOnceAndTheOtherGetsEveryByte) {
  for (bool primaryStuck : {false, true}) {
    Wiring setup = programmedEarlier();
    (primaryStuck ? setup.uart3F8 : setup.uart2F8).neverDrains = true;
    Bench bench(setup);
    ASSERT_EQ(SerialPortInitialize(), RETURN_SUCCESS); // a fresh start, whatever an earlier case left
    size_t from = bench.mark();
    sim::Uart16550 &stuck = primaryStuck ? bench.uart3F8 : bench.uart2F8;
    sim::Uart16550 &working = primaryStuck ? bench.uart2F8 : bench.uart3F8;
    std::string message(40, 'w');
    uint64_t start = bench.machine.nowNs();
    EXPECT_EQ(bench.write(message), 40u);
    // One bounded wait on the stuck UART, at the first burst; each later
    // wait on it is one status read. The working one drains each burst.
    uint64_t took = bench.machine.nowNs() - start;
    EXPECT_GE(took, kWaitNs);
    EXPECT_LT(took, kWaitNs + kOverrunNs + 2 * kBurstNs);
    std::vector<std::string> pattern = accessPattern(bench, from);
    std::vector<std::string> expected = burstPattern({16, 16, 8});
    for (std::string &token : expected) {
      if (token == fmt::format("wait{:X}", stuck.base() + 5)) {
        token += "-unfinished";
      }
    }
    EXPECT_EQ(pattern, expected) << "the UARTs see the same accesses as when both work";
    // Nor does the next message, or a flush, wait for it.
    start = bench.machine.nowNs();
    EXPECT_EQ(bench.write(message), 40u);
    EXPECT_EQ(SerialPortWrite(nullptr, 0) + SerialPortWrite(reinterpret_cast<UINT8 *>(message.data()), 0),
              0u);
    EXPECT_LT(bench.machine.nowNs() - start, kOverrunNs);
    bench.drain();
    EXPECT_EQ(working.bytes(), message + message);
    EXPECT_TRUE(stuck.bytes().empty());
    EXPECT_EQ(working.lost(), 0u);
  }
}

// The UART at 0x2F8 without a baud clock (divisor 0, as before anything
// programs it): what it is given stays queued and a wait gives it up. Once
// something gives it a divisor, the first status read that shows its
// transmitter empty takes it back; until then each burst looks once and
// goes on without it, and what its FIFO cannot take is lost.
TEST(SerialPortWrite, AGivenUpUartIsTakenBackByTheFirstStatusReadThatShowsItEmpty) {
  struct Case {
    const char *what;
    uint64_t settleNs; // between the divisor and the next message
    bool takenBack;
  };
  for (const Case &c : {Case{"drained by the next message", 25000000, true},
                        Case{"still sending at the next message", 0, false}}) {
    SCOPED_TRACE(c.what);
    Bench bench(programmedEarlier());
    ASSERT_EQ(SerialPortInitialize(), RETURN_SUCCESS);
    bench.machine.ioWrite(0x2FB, 1, 0x80); // another agent takes its divisor away
    bench.machine.ioWrite(0x2F8, 1, 0x00);
    bench.machine.ioWrite(0x2FB, 1, 0x03);
    std::string early(40, 'e');
    uint64_t start = bench.machine.nowNs();
    EXPECT_EQ(bench.write(early), 40u);
    EXPECT_GE(bench.machine.nowNs() - start, kWaitNs) << "given up at the second burst";
    EXPECT_LT(bench.machine.nowNs() - start, kWaitNs + kOverrunNs + 2 * kBurstNs);
    // And gives it back, at 9600 baud: slower than the other, it sets the
    // pace once taken back.
    bench.machine.ioWrite(0x2FB, 1, 0x80);
    bench.machine.ioWrite(0x2F8, 1, 0x0C);
    bench.machine.ioWrite(0x2FB, 1, 0x03);
    bench.machine.advance(c.settleNs);
    uint64_t lostBefore = bench.uart2F8.lost();
    std::string late = "after the baud clock: a message of several bursts, every byte of it\r\n";
    size_t from = bench.mark();
    EXPECT_EQ(bench.write(late), late.size());
    bench.drain();
    uint64_t bursts = (late.size() + 15) / 16;
    uint64_t statusReads = bench.accesses(AccessKind::IoRead, 0x2FD, from);
    const std::string &sent = bench.uart2F8.bytes();
    if (c.takenBack) {
      EXPECT_GT(statusReads, bursts) << "waited for from the second burst on";
      EXPECT_EQ(bench.uart2F8.lost(), lostBefore);
      EXPECT_EQ(sent.substr(sent.size() - late.size()), late);
    } else {
      EXPECT_EQ(statusReads, bursts) << "one look a burst";
      EXPECT_GT(bench.uart2F8.lost(), lostBefore);
    }
    EXPECT_EQ(bench.uart3F8.bytes(), early + late) << "the other UART loses nothing either way";
  }
}

// At 9600 baud a burst takes 16.7 ms to drain; the writer waits for it
// however fast status reads are, so no byte meets a full FIFO.
TEST(SerialPortWrite, AtTheSlowestSpeedAndCheapReadsEveryBurstWaitsForTheLine) {
  for (uint64_t cost : {50u, 1000u}) {
    Wiring setup{.speedByte = 0x06};
    setup.accessCostNs = cost;
    Bench bench(setup);
    ASSERT_EQ(SerialPortInitialize(), RETURN_SUCCESS);
    std::string message;
    for (int line = 0; message.size() < 200; line++) {
      message += fmt::format("line {} of a message that fills several bursts\r\n", line);
    }
    EXPECT_EQ(bench.write(message), message.size());
    bench.drain();
    for (const sim::Uart16550 *uart : {&bench.uart3F8, &bench.uart2F8}) {
      EXPECT_EQ(uart->lost(), 0u) << uart->base() << " at " << cost << " ns";
      EXPECT_EQ(uart->bytes(), message);
      EXPECT_EQ(uart->settings().text(), "9600 8N1");
    }
  }
}

TEST(SerialPortRegisters, TheBaseIsFixedAndRegistersAreBytePortsFromIt) {
  Bench bench(programmedEarlier());
  EXPECT_EQ(GetSerialRegisterBase(), 0x3F8u);
  EXPECT_TRUE(SerialPortWritable(0x3F8));
  EXPECT_TRUE(SerialPortWritable(0x2F8));
  size_t from = bench.mark();
  SerialPortWriteRegister(0x2F8, 7, 0x5A);
  EXPECT_EQ(SerialPortReadRegister(0x2F8, 7), 0x5A);
  EXPECT_EQ(SerialPortReadRegister(0x3F8, 3), 0x03);
  const auto &trace = bench.machine.trace();
  ASSERT_EQ(trace.size() - from, 3u);
  EXPECT_EQ(trace[from].address, 0x2FFu);
  EXPECT_EQ(trace[from].width, 1u);
  EXPECT_EQ(trace[from + 2].address, 0x3FBu);
}

} // namespace
