// SPDX-License-Identifier: BSD-2-Clause-Patent
// The dual console in whole boots of the driver: both UARTs, the Super I/O
// and the CMOS speed as boards describe them, and the console's part of the
// report.
#include "Board/Board.h"
#include "Boot/Boot.h"
#include "Boot/Diagnostics.h"
#include "Boot/Report.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";

struct Booted {
  explicit Booted(const sim::Board &board) : simulation(board, kImage) { simulation.run(); }
  const std::string &primary() const { return simulation.console().bytes(); }
  const std::string &mirror() const { return simulation.secondConsole().bytes(); }
  sim::ConsoleSummary summary() const { return sim::consoleSummary(simulation); }
  mutable sim::Simulation simulation;
};

TEST(ConsoleBoot, TheReferenceBoardMirrorsEveryByteToBothUartsAt115200) {
  Booted boot(sim::referenceBoard());
  ASSERT_TRUE(boot.simulation.outcome().completed);
  EXPECT_NE(boot.primary().find("KeshInitEntryPoint Entry\r\nKeshInitEntryPoint Exit\r\n"), std::string::npos)
      << boot.primary();
  EXPECT_NE(boot.primary().find("KeshOnReadyToBoot() Exit\r\n"), std::string::npos);
  EXPECT_EQ(boot.primary(), boot.mirror());
  for (const sim::Uart16550 *uart : {&boot.simulation.console(), &boot.simulation.secondConsole()}) {
    ASSERT_EQ(uart->runs().size(), 1u) << uart->base();
    EXPECT_EQ(uart->runs()[0].settings.text(), "115200 8N1");
    EXPECT_EQ(uart->pending(), 0u);
    EXPECT_EQ(uart->lost(), 0u) << "no burst ever overfilled a FIFO";
  }
  EXPECT_EQ(boot.simulation.superIo().device(3), (sim::SuperIoDevice{1, 0x3F8, 4}));
  EXPECT_EQ(boot.simulation.superIo().device(2), (sim::SuperIoDevice{1, 0x2F8, 3}));
}

TEST(ConsoleBoot, TheSummaryStatesBothLogsMatchAndTheTimeAgainstTheLineRate) {
  Booted boot(sim::referenceBoard());
  sim::ConsoleSummary summary = boot.summary();
  size_t n = boot.primary().size();
  EXPECT_TRUE(summary.identical);
  EXPECT_TRUE(summary.sameSettings);
  EXPECT_EQ(summary.lineRateBoundNs, n * (sim::LineSettings{1, 0x03}).characterNs());
  // Polled output cannot beat the line; the last bursts of messages drain
  // while the driver works on, so the time spent polling stays near the bound.
  EXPECT_GT(summary.consoleNs, summary.lineRateBoundNs * 9 / 10);
  EXPECT_LT(summary.consoleNs, summary.lineRateBoundNs * 11 / 10);

  std::string text = sim::textSummary(boot.simulation);
  EXPECT_NE(text.find(fmt::format("  UART 0x3F8: {} bytes sent at 115200 8N1\n", n)), std::string::npos)
      << text;
  EXPECT_NE(text.find(fmt::format("  UART 0x2F8: {} bytes sent at 115200 8N1\n", n)), std::string::npos)
      << text;
  EXPECT_NE(text.find("  logs byte-identical: yes; same line settings: yes\n"), std::string::npos) << text;
  EXPECT_NE(text.find(fmt::format("  line-rate bound: {} characters x 10 bits / 115200 baud = ", n)),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("% of the bound)"), std::string::npos) << text;
  nlohmann::json report = sim::jsonReport(boot.simulation);
  EXPECT_EQ(report["console"]["uart0"], boot.primary());
  EXPECT_EQ(report["console"]["uart1"], boot.mirror());
  EXPECT_TRUE(report["console"]["identical"].get<bool>());
  EXPECT_EQ(report["console"]["uarts"][1]["runs"][0]["settings"], "115200 8N1");
}

TEST(ConsoleBoot, TheCmosSpeedByteSetsBothUarts) {
  for (auto [speedByte, text] : {std::pair{0x07, "9600 8N1"}, {0x04, "19200 8N1"}, {0x02, "57600 8N1"}}) {
    sim::Board board = sim::referenceBoard();
    board.cmos[sim::kCmosConsoleSpeed] = static_cast<uint8_t>(speedByte);
    Booted boot(board);
    ASSERT_TRUE(boot.simulation.outcome().completed);
    EXPECT_EQ(boot.primary(), boot.mirror());
    EXPECT_NE(boot.primary().find("KeshOnEndOfDxe() Exit\r\n"), std::string::npos);
    ASSERT_EQ(boot.simulation.secondConsole().runs().size(), 1u);
    EXPECT_EQ(boot.simulation.secondConsole().runs()[0].settings.text(), text);
    EXPECT_EQ(boot.simulation.console().runs()[0].settings.text(), text);
  }
}

TEST(ConsoleBoot, ASuperIoSetUpByAnEarlierPhaseIsLeftAlone) {
  sim::Board board = sim::referenceBoard();
  {
    board.superIo.setUpEarlier = true;
    Booted boot(board);
    EXPECT_EQ(boot.simulation.superIo().writes().size(), 2u) << "the device selections of the two reads only";
    EXPECT_EQ(boot.primary(), boot.mirror());
    EXPECT_FALSE(boot.primary().empty());
  }
  // Device 2 alone active: device 3 is never set up, so 0x3F8 never decodes.
  board.superIo = sim::SuperIoConfig{};
  board.superIo.devices[2] = sim::SuperIoDevice{1, 0x2F8, 3};
  Booted boot(board);
  EXPECT_EQ(boot.simulation.superIo().writes().size(), 2u);
  EXPECT_TRUE(boot.primary().empty());
  EXPECT_NE(boot.mirror().find("KeshOnReadyToBoot() Exit\r\n"), std::string::npos) << boot.mirror();
  std::string text = sim::textSummary(boot.simulation);
  EXPECT_NE(text.find("logs byte-identical: NO (first difference at byte 0)"), std::string::npos) << text;
  EXPECT_NE(text.find("  log of UART 0x2F8: \"KeshInitEntryPoint Entry\\r\\n"), std::string::npos) << text;
}

// Either UART stuck, port reads slow or cheap: the console gives the stuck
// one up after 100 ms, once, and the other one gets every byte.
TEST(ConsoleBoot, ANeverDrainingUartCostsBoundedWaitsAndTheBootGoesOn) {
  constexpr uint64_t kWaitNs = 100000000, kOverrunNs = 6000000;
  struct Case {
    uint64_t cost;
    bool primaryStuck;
  };
  for (const Case &c : {Case{1000, false}, Case{1000, true}, Case{50, false}}) {
    SCOPED_TRACE(fmt::format("{} ns a read, {} stuck", c.cost, c.primaryStuck ? "0x3F8" : "0x2F8"));
    sim::Board board = sim::referenceBoard();
    board.accessCostNs = c.cost;
    std::string normalLog;
    uint64_t normalNs = 0;
    {
      Booted normal(board);
      normalLog = normal.primary();
      normalNs = normal.simulation.machine().nowNs();
    }
    (c.primaryStuck ? board.uart3F8 : board.uart2F8).neverDrains = true;
    Booted boot(board);
    ASSERT_TRUE(boot.simulation.outcome().completed);
    const sim::Uart16550 &stuck =
        c.primaryStuck ? boot.simulation.console() : boot.simulation.secondConsole();
    const sim::Uart16550 &working =
        c.primaryStuck ? boot.simulation.secondConsole() : boot.simulation.console();
    EXPECT_EQ(working.bytes(), normalLog);
    EXPECT_EQ(working.lost(), 0u);
    EXPECT_TRUE(stuck.bytes().empty());
    EXPECT_EQ(stuck.pending(), 16u);
    // One wait, at set-up; each burst after it reads the stuck one's status once.
    uint64_t bursts = 0;
    for (const sim::HoldingWrite &write : working.holdingWrites()) {
      bursts += write.transmitterEmpty ? 1 : 0;
    }
    ASSERT_GT(bursts, 10u);
    uint64_t took = boot.simulation.machine().nowNs();
    EXPECT_GE(took, kWaitNs);
    EXPECT_LT(took, kWaitNs + kOverrunNs + normalNs);
    std::string text = sim::textSummary(boot.simulation);
    EXPECT_NE(text.find(fmt::format("  UART 0x{:X}: nothing sent, 16 never sent", stuck.base())),
              std::string::npos)
        << text;
  }
}

// At 9600 baud a burst drains in 16.7 ms, hundreds of thousands of status
// reads at 50 ns each: the console still waits for the line, so the boot's
// log goes out whole on both UARTs, as it does when reads are slow.
TEST(ConsoleBoot, CheapPortReadsAtTheSlowestSpeedLoseNothing) {
  sim::Board board = sim::referenceBoard();
  board.cmos[sim::kCmosConsoleSpeed] = 0x07;
  std::string slowReadsLog;
  {
    Booted boot(board);
    slowReadsLog = boot.primary();
  }
  board.accessCostNs = 50;
  Booted boot(board);
  ASSERT_TRUE(boot.simulation.outcome().completed);
  EXPECT_NE(boot.primary().find("KeshOnReadyToBoot() Exit\r\n"), std::string::npos);
  EXPECT_EQ(boot.primary(), slowReadsLog);
  EXPECT_EQ(boot.mirror(), slowReadsLog);
  for (const sim::Uart16550 *uart : {&boot.simulation.console(), &boot.simulation.secondConsole()}) {
    EXPECT_EQ(uart->lost(), 0u) << uart->base();
    ASSERT_EQ(uart->runs().size(), 1u);
    EXPECT_EQ(uart->runs()[0].settings.text(), "9600 8N1");
  }
}

TEST(ConsoleBoard, BoardFilesDescribeCmosTheSuperIoAndTheUarts) {
  sim::Board board = sim::parseBoardToml(R"(
[cmos]
bytes = [[0x6F, 0x06], [0x7A, 0x12], [0x7D, 0x34]]
[super_io]
set_up_earlier = true
[[super_io.device]]
number = 2
active = 1
base = 0x2F8
irq = 3
[[uart]]
base = 0x3F8
never_drains = true
fifo_reports_off = true
[[uart]]
base = 0x2F8
present = false
divisor = 12
lcr = 0x03
mcr = 0x0B
fcr = 0xC1
[[hob]]
level = 0x40
)",
                                         "console.toml");
  EXPECT_EQ(board.cmos[0x6F], 0x06);
  EXPECT_EQ(board.cmosErrorLevel(), 0x34000012u);
  EXPECT_TRUE(board.superIo.setUpEarlier);
  EXPECT_EQ(board.superIo.devices.at(2), (sim::SuperIoDevice{1, 0x2F8, 3}));
  EXPECT_TRUE(board.uart3F8.neverDrains);
  EXPECT_TRUE(board.uart3F8.fifoReportsOff);
  EXPECT_FALSE(board.uart2F8.present);
  EXPECT_EQ(board.uart2F8.divisor, 12);
  EXPECT_EQ(board.uart2F8.mcr, 0x0B);
  EXPECT_EQ(board.uart2F8.fcr, 0xC1);
  ASSERT_EQ(board.hobs.size(), 1u);
  EXPECT_EQ(board.hobs[0].data, (std::vector<uint8_t>{0x40, 0, 0, 0}));
}

TEST(ConsoleBoard, BadConsoleSettingsAreRefused) {
  auto errorOf = [](const std::string &text) {
    try {
      sim::parseBoardToml(text, "bad.toml");
    } catch (const sim::BoardError &error) {
      return std::string(error.what());
    }
    return std::string();
  };
  EXPECT_NE(errorOf("[[uart]]\nbase = 0x3E8\n").find("key 'uart.base': must be 0x3F8 or 0x2F8"),
            std::string::npos);
  EXPECT_NE(errorOf("[cmos]\nbytes = [[0x80, 1]]\n").find("each entry is [index 0-127, byte]"),
            std::string::npos);
  EXPECT_NE(errorOf("[[hob]]\nlevel = 1\nguid = \"1A2B3C4D-0001-0002-1020-304050607080\"\n")
                .find("a level HOB takes no guid or data"),
            std::string::npos);
  EXPECT_NE(errorOf("[diagnostics]\nerror_level = 0x40\n").find("is not a board setting"), std::string::npos)
      << "the level lives in CMOS now";
}

} // namespace
