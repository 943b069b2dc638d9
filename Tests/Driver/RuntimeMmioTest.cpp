// SPDX-License-Identifier: BSD-2-Clause-Patent
// Runtime MMIO reporting at PCI enumeration complete, over whole boots.
#include "BootHarness.h"

#include <Protocol/PciEnumerationComplete.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>

namespace {

using sim::Step;

const char kAcpiLine[] = "KeshOnPciEnumComplete: Report ACPI MMIO as runtime memory type\r\n";
const char kSpiLine[] = "KeshOnPciEnumComplete: Report SPI MMIO as runtime memory type\r\n";
const char kWriteBufferLine[] = " KESH SPI WriteBufferEn is not enabled\r\n";
constexpr uint64_t kAcpiPage = 0xFED80000;
constexpr uint64_t kSpiPage = 0xFEC10000;

using boot::Boot;
using boot::count;

sim::GcdRange rangeAt(sim::Simulation &simulation, uint64_t address) {
  for (const sim::GcdRange &range : simulation.core().gcdMap()) {
    if (address >= range.base && address - range.base < range.length) {
      return range;
    }
  }
  ADD_FAILURE() << "no GCD range at " << address;
  return {};
}

const sim::EventInfo &pciNotify(sim::Simulation &simulation) {
  // The S3 save library's constructor registers a protocol notify of its own first.
  for (const auto &event : simulation.core().events()) {
    if (event.owner == "KeshInitDxe" && event.notifyProtocol &&
        sim::sameGuid(*event.notifyProtocol, gEfiPciEnumerationCompleteProtocolGuid)) {
      return event;
    }
  }
  throw std::runtime_error("the driver registered no event");
}

size_t mmioAccesses(const Boot &boot) {
  size_t n = 0;
  for (const auto &e : boot.simulation.machine().trace()) {
    n += e.kind == sim::AccessKind::MmioWrite || e.kind == sim::AccessKind::MmioRead ? 1 : 0;
  }
  return n;
}

// Up to enumeration only: End of DXE writes the same SPI register.
sim::Board reference(std::vector<Step> timeline = {Step::Load, Step::PciEnumerationComplete}) {
  sim::Board board = sim::referenceBoard();
  board.timeline = std::move(timeline);
  return board;
}

TEST(RuntimeMmio, LoadedBeforeEnumerationTheWorkRunsOnceAtInstallation) {
  Boot boot(
      reference({Step::Load, Step::PciEnumerationComplete, Step::PciEnumerationComplete, Step::EndOfDxe}));
  const std::string &console = boot.console();
  EXPECT_EQ(count(console, kAcpiLine), 1u) << console;
  EXPECT_EQ(count(console, kSpiLine), 1u);
  EXPECT_GT(console.find(kAcpiLine), console.find("KeshInitEntryPoint Exit")) << "nothing at the first run";
  EXPECT_LT(console.find(kAcpiLine), console.find(kSpiLine));
  const auto &event = pciNotify(boot.simulation);
  EXPECT_TRUE(event.closed);
  EXPECT_EQ(event.notifies, 2u) << "the second installation finds the event closed";
}

TEST(RuntimeMmio, LoadedAfterEnumerationTheWorkRunsInsideTheEntry) {
  Boot boot(reference({Step::PciEnumerationComplete, Step::Load, Step::EndOfDxe}));
  const std::string &console = boot.console();
  size_t entry = console.find("KeshInitEntryPoint Entry"), exit = console.find("KeshInitEntryPoint Exit");
  EXPECT_GT(console.find(kAcpiLine), entry);
  EXPECT_LT(console.find(kSpiLine), exit);
  EXPECT_EQ(count(console, kAcpiLine), 1u);
  EXPECT_TRUE(pciNotify(boot.simulation).closed);
}

TEST(RuntimeMmio, AttributesAreAddedToWhatTheDescriptorsHad) {
  sim::Board board = reference();
  board.gcd[1].capabilities |= EFI_MEMORY_WC;
  board.gcd[1].attributes = EFI_MEMORY_WC;
  Boot boot(board);
  sim::GcdRange acpi = rangeAt(boot.simulation, kAcpiPage);
  EXPECT_EQ(acpi.base, kAcpiPage);
  EXPECT_EQ(acpi.length, 0x1000u);
  EXPECT_EQ(acpi.attributes, EFI_MEMORY_WC | EFI_MEMORY_UC | EFI_MEMORY_RUNTIME);
  EXPECT_EQ(acpi.type, EfiGcdMemoryTypeMemoryMappedIo);
  EXPECT_EQ(boot.simulation.imageName(acpi.image), "KeshInitDxe") << "allocated with the driver as owner";
  EXPECT_EQ(acpi.device, nullptr);

  // The SPI base register reads 0xFEC10002: its flag bits are no address bits.
  sim::GcdRange spi = rangeAt(boot.simulation, kSpiPage);
  EXPECT_EQ(spi.base, kSpiPage);
  EXPECT_EQ(spi.length, 0x1000u);
  EXPECT_EQ(spi.attributes, EFI_MEMORY_WC | EFI_MEMORY_RUNTIME) << "no cacheability bit added";
  EXPECT_EQ(spi.image, nullptr) << "the SPI page is never allocated";
  EXPECT_TRUE(boot.simulation.assertions().empty()) << boot.console();
}

TEST(RuntimeMmio, WriteBufferEnableIsSetOnlyWhenClearKeepingTheOtherBits) {
  {
    sim::Board clear = reference();
    clear.spi.reg1D = 0x81;
    Boot boot(clear);
    EXPECT_EQ(count(boot.console(), kWriteBufferLine), 1u);
    EXPECT_EQ(boot.accesses(sim::AccessKind::MmioWrite, kSpiPage + 0x1D), 1u);
    EXPECT_EQ(boot.simulation.spi()->registers().reg1D, 0x85);
  }
  {
    sim::Board set = reference();
    set.spi.reg1D = 0x04;
    Boot boot(set);
    EXPECT_EQ(count(boot.console(), kWriteBufferLine), 0u);
    EXPECT_EQ(boot.accesses(sim::AccessKind::MmioWrite, kSpiPage + 0x1D), 0u);
    EXPECT_EQ(boot.simulation.spi()->registers().reg1D, 0x04);
  }
}

TEST(RuntimeMmio, AFailedAllocationIsReportedAndEveryLaterStepStillRuns) {
  sim::Board board = reference();
  board.failures.push_back(sim::FailureRule{"AllocateMemorySpace", 1, EFI_OUT_OF_RESOURCES, std::nullopt});
  Boot boot(board);
  auto assertions = boot.simulation.assertions();
  ASSERT_EQ(assertions.size(), 1u) << boot.console();
  EXPECT_EQ(assertions[0].file, "Features/KeshInit/Dxe/RuntimeMmio.cpp");
  EXPECT_NE(boot.console().find("ASSERT_EFI_ERROR (Status = Out of Resources)"), std::string::npos);
  EXPECT_EQ(count(boot.console(), kSpiLine), 1u);
  EXPECT_EQ(rangeAt(boot.simulation, kAcpiPage).image, nullptr);
  EXPECT_NE(rangeAt(boot.simulation, kAcpiPage).attributes & EFI_MEMORY_RUNTIME, 0u);
  EXPECT_NE(rangeAt(boot.simulation, kSpiPage).attributes & EFI_MEMORY_RUNTIME, 0u);
  EXPECT_EQ(boot.simulation.spi()->registers().reg1D, 0x04);
  EXPECT_TRUE(pciNotify(boot.simulation).closed);
}

TEST(RuntimeMmio, AnUnreadableDescriptorGetsOnlyTheAddedBits) {
  sim::Board board = reference();
  board.gcd[1].capabilities |= EFI_MEMORY_WC;
  board.gcd[1].attributes = EFI_MEMORY_WC;
  board.failures.push_back(sim::FailureRule{"GetMemorySpaceDescriptor", 1, EFI_NOT_FOUND, std::nullopt});
  Boot boot(board);
  EXPECT_EQ(boot.simulation.assertions().size(), 1u) << boot.console();
  EXPECT_EQ(rangeAt(boot.simulation, kAcpiPage).attributes, EFI_MEMORY_UC | EFI_MEMORY_RUNTIME);
  EXPECT_EQ(rangeAt(boot.simulation, kSpiPage).attributes, EFI_MEMORY_WC | EFI_MEMORY_RUNTIME);
}

TEST(RuntimeMmio, AnAbsentOrUnprogrammedSpiBaseIsNeverUsedAsAnAddress) {
  for (uint32_t bar : {0xFFFFFFFFu, 0x00000000u, 0x0000003Fu}) {
    sim::Board board = reference();
    board.pci[0].registers[1].second = bar;
    Boot boot(board);
    const std::string &console = boot.console();
    EXPECT_EQ(count(console, "SPI Base Address is incorrect !!\r\n"), 1u) << console;
    EXPECT_EQ(count(console, kWriteBufferLine), 0u);
    EXPECT_EQ(mmioAccesses(boot), 0u) << "no MMIO access at all for base register " << bar;
    EXPECT_TRUE(boot.simulation.assertions().empty()) << console;
    EXPECT_NE(rangeAt(boot.simulation, kAcpiPage).attributes & EFI_MEMORY_RUNTIME, 0u);
    EXPECT_TRUE(pciNotify(boot.simulation).closed);
  }
}

// A base register pointing at RAM or at the hub's ACPI registers: the page
// is not reported and nothing is written there.
TEST(RuntimeMmio, ASpiBaseOffMemoryMappedIoOrOnTheAcpiPageIsRefused) {
  struct Case {
    uint32_t bar;
    const char *what;
  };
  for (const Case &c : {Case{0x00100000, "system memory"}, Case{0xFED80000, "the ACPI MMIO page"},
                        Case{0xFED80FC0, "inside the ACPI MMIO page"}}) {
    for (auto timeline : {std::vector<Step>{Step::Load, Step::PciEnumerationComplete},
                          std::vector<Step>{Step::Load, Step::EndOfDxe}}) {
      sim::Board board = reference(timeline);
      board.identity->states[PLATFORM_STATE_PWD] = 1;
      board.pci[0].registers[1].second = c.bar;
      Boot boot(board);
      const std::string &console = boot.console();
      EXPECT_EQ(count(console, "SPI Base Address is incorrect !!\r\n"), 1u) << c.what << console;
      EXPECT_EQ(count(console, kWriteBufferLine), 0u) << c.what;
      EXPECT_EQ(count(console, "SPI Protection is LOCKED"), 0u) << c.what;
      for (const auto &e : boot.simulation.machine().trace()) {
        if (e.kind == sim::AccessKind::MmioWrite) {
          ADD_FAILURE() << c.what << ": MMIO write at " << std::hex << e.address;
        }
      }
      EXPECT_TRUE(boot.simulation.assertions().empty()) << c.what << console;
      if (timeline.back() == Step::PciEnumerationComplete) {
        EXPECT_EQ(rangeAt(boot.simulation, 0x100000).attributes, EFI_MEMORY_WB)
            << c.what << ": RAM stays as it was";
        EXPECT_EQ(rangeAt(boot.simulation, kAcpiPage).attributes, EFI_MEMORY_UC | EFI_MEMORY_RUNTIME)
            << c.what;
      }
    }
  }
}

// Every kind of RAM the map knows refuses the base, as system memory does.
TEST(RuntimeMmio, ASpiBaseInAnyKindOfRamIsRefused) {
  for (EFI_GCD_MEMORY_TYPE type :
       {EfiGcdMemoryTypePersistent, EfiGcdMemoryTypeMoreReliable, EfiGcdMemoryTypeUnaccepted}) {
    sim::Board board = reference({Step::Load, Step::PciEnumerationComplete, Step::EndOfDxe});
    board.identity->states[PLATFORM_STATE_PWD] = 1;
    board.pci[0].registers[1].second = 0x90000000;
    board.gcd.push_back(
        sim::GcdRange{0x90000000, 0x1000, EFI_MEMORY_WB, EFI_MEMORY_WB, type, nullptr, nullptr});
    Boot boot(board);
    const std::string &console = boot.console();
    EXPECT_EQ(count(console, "SPI Base Address is incorrect !!\r\n"), 2u) << "type " << type << console;
    EXPECT_EQ(count(console, "SPI Protection is LOCKED"), 0u) << "type " << type;
    for (const auto &e : boot.simulation.machine().trace()) {
      if (e.kind == sim::AccessKind::MmioWrite) {
        ADD_FAILURE() << "type " << type << ": MMIO write at " << std::hex << e.address;
      }
    }
    EXPECT_EQ(rangeAt(boot.simulation, 0x90000000).attributes, EFI_MEMORY_WB) << "type " << type;
  }
}

// A base the map says nothing against is the controller's: what cannot be
// known never leaves the flash unprotected. Every failing GCD call asserts.
TEST(RuntimeMmio, ABaseTheMapDoesNotCallRamIsUsed) {
  struct Case {
    const char *what;
    uint32_t bar;
    std::function<void(sim::Board &)> change;
    size_t enumerationAssertions; // the SPI page's descriptor read and attribute request
  };
  const Case cases[] = {
      {"not in the map", 0x90000000, [](sim::Board &) {}, 2},
      {"a non-existent range", 0x90000000,
       [](sim::Board &b) {
         b.gcd.push_back(
             sim::GcdRange{0x90000000, 0x1000, 0, 0, EfiGcdMemoryTypeNonExistent, nullptr, nullptr});
       },
       1},
      {"a reserved range", 0x90000000,
       [](sim::Board &b) {
         b.gcd.push_back(sim::GcdRange{0x90000000, 0x1000, EFI_MEMORY_RUNTIME, 0, EfiGcdMemoryTypeReserved,
                                       nullptr, nullptr});
       },
       0},
      {"a failed descriptor read of the base check", 0xFEC10000,
       [](sim::Board &b) {
         b.failures.push_back({"GetMemorySpaceDescriptor", 2, EFI_NOT_FOUND, std::nullopt});
       },
       0},
  };
  for (const Case &c : cases) {
    sim::Board board = reference({Step::Load, Step::PciEnumerationComplete, Step::EndOfDxe});
    board.identity->states[PLATFORM_STATE_PWD] = 1;
    board.pci[0].registers[1].second = c.bar;
    c.change(board);
    Boot boot(board);
    const std::string &console = boot.console();
    EXPECT_EQ(count(console, "SPI Base Address is incorrect"), 0u) << c.what << console;
    EXPECT_EQ(count(console, "SPI Protection is LOCKED !!\r\n"), 1u) << c.what;
    ASSERT_NE(boot.simulation.spi(), nullptr);
    EXPECT_EQ(boot.simulation.spi()->registers().reg1D & 0x2C, 0x2C)
        << c.what << ": write buffer, protect, lock";
    EXPECT_EQ(boot.simulation.assertions().size(), c.enumerationAssertions) << c.what << console;
  }
  // Without DXE services PCI enumeration cannot complete; End of DXE still protects.
  sim::Board board = reference({Step::Load, Step::EndOfDxe});
  board.dxeServices = false;
  Boot boot(board);
  EXPECT_EQ(count(boot.console(), "SPI Base Address is incorrect"), 0u) << boot.console();
  EXPECT_NE(boot.simulation.spi()->registers().reg1D & 0x08, 0) << "protected";
}

TEST(RuntimeMmio, ABaseThatIsNotPageAlignedReportsThePageThatHoldsIt) {
  sim::Board board = reference();
  board.pci[0].registers[1].second = 0xFEC10040;
  board.spi.reg1D = 0x01;
  Boot boot(board);
  EXPECT_TRUE(boot.simulation.assertions().empty()) << boot.console();
  sim::GcdRange spi = rangeAt(boot.simulation, kSpiPage);
  EXPECT_EQ(spi.base, kSpiPage);
  EXPECT_EQ(spi.length, 0x1000u);
  EXPECT_EQ(spi.attributes, EFI_MEMORY_UC | EFI_MEMORY_RUNTIME);
  EXPECT_EQ(rangeAt(boot.simulation, kSpiPage + 0x1000).attributes, EFI_MEMORY_UC) << "only that page";
  EXPECT_EQ(boot.accesses(sim::AccessKind::MmioWrite, 0xFEC1005D), 1u) << "the registers stay at the base";
  EXPECT_EQ(boot.simulation.spi()->registers().reg1D, 0x05);
}

// When the SPI descriptor read of the report itself fails, the page gets
// the runtime bit alone: neither the ACPI page's attributes nor any other.
TEST(RuntimeMmio, AnUnreadableSpiDescriptorGetsOnlyTheRuntimeBit) {
  sim::Board board = reference();
  board.gcd[1].capabilities |= EFI_MEMORY_WC;
  board.gcd[1].attributes = EFI_MEMORY_WC;
  // ACPI page, the SPI base check, then the SPI page's report.
  board.failures.push_back(sim::FailureRule{"GetMemorySpaceDescriptor", 3, EFI_NOT_FOUND, std::nullopt});
  Boot boot(board);
  ASSERT_EQ(boot.simulation.assertions().size(), 1u) << boot.console();
  EXPECT_EQ(rangeAt(boot.simulation, kAcpiPage).attributes,
            EFI_MEMORY_WC | EFI_MEMORY_UC | EFI_MEMORY_RUNTIME);
  EXPECT_EQ(rangeAt(boot.simulation, kSpiPage).attributes, EFI_MEMORY_RUNTIME);
  EXPECT_EQ(rangeAt(boot.simulation, kSpiPage + 0x1000).attributes, EFI_MEMORY_WC);
}

TEST(RuntimeMmio, EveryShippedBoardFindsItsSpiControllerOnMemoryMappedIo) {
  size_t boards = 0;
  for (const auto &file : std::filesystem::directory_iterator(std::string(KESH_SOURCE_DIR) + "/boards")) {
    if (file.path().extension() != ".toml") {
      continue;
    }
    sim::Board board = sim::loadBoardFile(file.path().string());
    // The boards of a machine without the hub (OVMF's twins) have no SPI bridge.
    if (std::none_of(board.pci.begin(), board.pci.end(), [](const sim::BoardPciFunction &f) {
          return f.bus == 0 && f.device == 0x14 && f.function == 3;
        })) {
      continue;
    }
    boards++;
    Boot boot(board);
    const std::string &console = boot.console();
    EXPECT_EQ(count(console, "SPI Base Address is incorrect"), 0u) << file.path() << console;
    uint64_t page = boot.simulation.spiBase() & ~uint64_t{0xFFF};
    bool mapped = std::any_of(board.gcd.begin(), board.gcd.end(), [page](const sim::GcdRange &r) {
      return page >= r.base && page - r.base < r.length && r.type != EfiGcdMemoryTypeNonExistent;
    });
    if (mapped && board.dxeServices) {
      EXPECT_NE(rangeAt(boot.simulation, page).attributes & EFI_MEMORY_RUNTIME, 0u) << file.path();
    }
    // A board that halts on purpose may stop before End of DXE protects the flash.
    if (!board.expectedHalt) {
      EXPECT_NE(boot.simulation.spi()->registers().reg1D & 0x08, 0) << file.path() << ": protected";
    }
  }
  EXPECT_GE(boards, 6u);
}

TEST(RuntimeMmio, TheSpiBaseMessagePrintsAtEitherLevelBit) {
  for (uint32_t level : {0x40u, 0x80000000u}) {
    sim::Board board = reference();
    board.pci[0].registers[1].second = 0;
    board.setCmosErrorLevel(level);
    Boot boot(board);
    EXPECT_EQ(count(boot.console(), "SPI Base Address is incorrect !!\r\n"), 1u) << level;
  }
}

} // namespace
