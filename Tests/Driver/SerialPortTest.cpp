// The dual serial console linked statically with a machine that carries
// CMOS, the Super I/O and both UART models: the Super I/O hook, the UART
// set-up at the CMOS speed, and the burst writer with its bounded waits.
#include "FirmwareHarness.h"
#include "Machine/Cmos.h"
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

// The console's bound on a status wait, in status reads.
constexpr uint64_t kWaitPolls = 100000;

struct Wiring {
  uint8_t speedByte = 0x00; // CMOS 0x6F
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
        uart2F8(machine, 0x2F8, setup.uart2F8) {
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
  harness::MachineBinding binding{machine};
};

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

TEST(SerialPortInitialize, OutputOfAnEarlierPhaseGoesOutBeforeTheUartIsReprogrammed) {
  Wiring setup;
  setup.superIo.setUpEarlier = true;
  setup.uart3F8 = sim::UartConfig{.divisor = 12, .lcr = 0x03, .fcr = 0x01};
  Bench bench(setup);
  for (char c : std::string("PEI\r\n")) {
    bench.machine.ioWrite(0x3F8, 1, static_cast<uint8_t>(c));
  }
  size_t from = bench.mark();
  ASSERT_EQ(SerialPortInitialize(), RETURN_SUCCESS);
  bench.write("DXE");
  bench.drain();
  EXPECT_EQ(bench.uart3F8.bytes(), "PEI\r\nDXE");
  ASSERT_EQ(bench.uart3F8.runs().size(), 2u);
  EXPECT_EQ(bench.uart3F8.runs()[0].settings.text(), "9600 8N1");
  EXPECT_EQ(bench.uart3F8.runs()[0].count, 5u);
  EXPECT_EQ(bench.uart3F8.runs()[1].settings.text(), "115200 8N1");
  // The divisor was rewritten only once the last PEI character had left.
  const auto &trace = bench.machine.trace();
  for (size_t i = from; i < trace.size(); i++) {
    if (trace[i].kind == AccessKind::IoWrite && trace[i].address == 0x3F9) {
      EXPECT_GE(trace[i].timeNs, bench.uart3F8.runs()[0].endNs);
      break;
    }
  }
  EXPECT_EQ(bench.uart3F8.lost(), 0u);
}

TEST(SerialPortInitialize, AUartThatNeverDrainsIsGivenUpAfterTheBoundAndStillProgrammed) {
  Wiring setup;
  setup.uart2F8.neverDrains = true;
  Bench bench(setup);
  uint64_t start = bench.machine.nowNs();
  ASSERT_EQ(SerialPortInitialize(), RETURN_SUCCESS);
  EXPECT_EQ(bench.accesses(AccessKind::IoRead, 0x2FD), kWaitPolls);
  EXPECT_EQ(bench.accesses(AccessKind::IoRead, 0x3FD), 1u);
  EXPECT_LT(bench.machine.nowNs() - start, (kWaitPolls + 200) * bench.machine.accessCostNs());
  EXPECT_EQ(bench.writes(0x2F8).size(), 9u);
  EXPECT_EQ(bench.uart3F8.settings().text(), "115200 8N1");
}

// ---------------------------------------------------------------------------
// Writing.

class SerialPortWriteTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(SerialPortInitialize(), RETURN_SUCCESS); }
  Bench bench;
};

// The accesses of a write, one token each, folded polls as one.
std::vector<std::string> accessPattern(const Bench &bench, size_t from) {
  std::vector<std::string> out;
  const auto &trace = bench.machine.trace();
  for (size_t i = from; i < trace.size(); i++) {
    const auto &e = trace[i];
    if (e.kind == AccessKind::IoRead && (e.address == 0x3FD || e.address == 0x2FD)) {
      // A status wait ends on a read that shows the transmitter empty.
      out.push_back(fmt::format("wait{:X}{}", e.address, (e.lastValue & 0x40) != 0 ? "" : "-unfinished"));
    } else if (e.kind == AccessKind::IoRead) {
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
    out.insert(out.end(), {"read3FA", "wait3FD", "wait2FD"});
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

TEST(SerialPortWrite, ANeverDrainingUartIsGivenUpEachWaitAndTheOtherGetsEveryByte) {
  for (bool primaryStuck : {false, true}) {
    Wiring setup = programmedEarlier();
    (primaryStuck ? setup.uart3F8 : setup.uart2F8).neverDrains = true;
    Bench bench(setup);
    sim::Uart16550 &stuck = primaryStuck ? bench.uart3F8 : bench.uart2F8;
    sim::Uart16550 &working = primaryStuck ? bench.uart2F8 : bench.uart3F8;
    std::string message(40, 'w');
    uint64_t start = bench.machine.nowNs();
    EXPECT_EQ(bench.write(message), 40u);
    uint64_t took = bench.machine.nowNs() - start;
    // One bounded wait per burst on the stuck UART, and the working one's
    // own drain before the second and third bursts when it is waited for first.
    EXPECT_EQ(bench.accesses(AccessKind::IoRead, stuck.base() + 5), 3 * kWaitPolls);
    uint64_t drains = primaryStuck ? 0 : 32 * (sim::LineSettings{1, 0x03}).characterNs();
    EXPECT_LT(took, (3 * kWaitPolls + 1000) * bench.machine.accessCostNs() + drains);
    bench.drain();
    EXPECT_EQ(working.bytes(), message);
    EXPECT_TRUE(stuck.bytes().empty());
    EXPECT_EQ(working.lost(), 0u);
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
