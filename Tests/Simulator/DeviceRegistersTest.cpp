// SPDX-License-Identifier: BSD-2-Clause-Patent
// Devices own their registers: the SPI controller's lock and write log, and
// the names the machine gives an access, as the device stood when it was made.
#include "Boot/Boot.h"

#include <gtest/gtest.h>

#include <vector>

namespace sim {
void PrintTo(const AccessName &name, std::ostream *out) {
  *out << name.device << " / " << name.reg;
}
} // namespace sim

namespace {

using sim::AccessKind;

constexpr uint64_t kSpiBase = 0xFEC10000;

struct SpiStep {
  uint8_t offset;
  unsigned width;
  uint64_t value;
  bool ignored;   // the lock turned its byte at 0x1D away
  uint64_t after; // the same offset and width read back
};
struct SpiCase {
  const char *name;
  uint8_t reset1D;
  std::vector<SpiStep> steps;
  sim::SpiRegisters registers; // at the end
};

const SpiCase kSpiCases[] = {
    {"protect then lock freezes 0x1D",
     0x00,
     {{0x1D, 1, 0x0C, false, 0x0C}, {0x1D, 1, 0x2C, false, 0x2C}, {0x1D, 1, 0x04, true, 0x2C}},
     {0, 0, 0, 0x2C}},
    {"the other registers stay writable after the lock",
     0x00,
     {{0x1D, 1, 0x28, false, 0x28},
      {0x04, 4, 0x02D82001, false, 0x02D82001},
      {0x08, 4, 0x0060C706, false, 0x0060C706},
      {0x00, 4, 0xFFBFFFFF, false, 0xFFBFFFFF},
      {0x1D, 1, 0x08, true, 0x28}},
     {0xFFBFFFFF, 0x02D82001, 0x0060C706, 0x28}},
    {"a lock without protect stays unprotected",
     0x00,
     {{0x1D, 1, 0x20, false, 0x20}, {0x1D, 1, 0x28, true, 0x20}},
     {0, 0, 0, 0x20}},
    {"locked at reset", 0x24, {{0x1D, 1, 0x0C, true, 0x24}}, {0, 0, 0, 0x24}},
    {"a wide write over a locked 0x1D lands its other bytes",
     0x20,
     {{0x1C, 4, 0x11223344, true, 0x11222044}},
     {0, 0, 0, 0x20}},
    {"unlocked, every write lands",
     0x00,
     {{0x1D, 1, 0x08, false, 0x08}, {0x1D, 1, 0x00, false, 0x00}},
     {0, 0, 0, 0x00}},
};

TEST(SpiController, LockAndWriteLog) {
  for (const SpiCase &c : kSpiCases) {
    SCOPED_TRACE(c.name);
    sim::Machine machine;
    sim::SpiController spi(sim::SpiRegisters{0, 0, 0, c.reset1D}, &machine);
    machine.mapMmio(kSpiBase, sim::SpiController::kSize, &spi);
    for (const SpiStep &step : c.steps) {
      machine.mmioWrite(kSpiBase + step.offset, step.width, step.value);
    }
    EXPECT_EQ(spi.registers(), c.registers);
    ASSERT_EQ(spi.writes().size(), c.steps.size());
    for (size_t i = 0; i < c.steps.size(); i++) {
      const sim::SpiWrite &logged = spi.writes()[i];
      EXPECT_EQ(logged.offset, c.steps[i].offset) << i;
      EXPECT_EQ(logged.value, c.steps[i].value) << i;
      EXPECT_EQ(logged.ignored, c.steps[i].ignored) << i;
      EXPECT_EQ(logged.after, c.steps[i].after) << i;
      ASSERT_TRUE(logged.traceIndex.has_value()) << i;
      const sim::TraceEntry &entry = machine.trace().at(*logged.traceIndex);
      EXPECT_EQ(entry.kind, AccessKind::MmioWrite);
      EXPECT_EQ(entry.address, kSpiBase + c.steps[i].offset);
    }
  }
}

TEST(SpiController, AWriteMadeOutsideTheMachineHasNoTraceIndex) {
  sim::Machine machine;
  sim::SpiController spi(sim::SpiRegisters{}, &machine);
  machine.ioWrite(0x80, 1, 0x11); // an unrelated last entry
  spi.mmioWrite(0x1D, 1, 0x08);
  EXPECT_FALSE(spi.writes().at(0).traceIndex.has_value());
}

struct NameCase {
  AccessKind kind;
  uint64_t address;
  bool divisorLatch; // of the UART at 0x3F8, when the access is made
  sim::AccessName name;
};

const NameCase kNames[] = {
    {AccessKind::IoWrite, 0x3F8, false, {"UART 0x3F8", "THR"}},
    {AccessKind::IoRead, 0x3F8, false, {"UART 0x3F8", "RBR"}},
    {AccessKind::IoWrite, 0x3F8, true, {"UART 0x3F8", "DLL"}},
    {AccessKind::IoRead, 0x3F9, true, {"UART 0x3F8", "DLM"}},
    {AccessKind::IoRead, 0x3FA, true, {"UART 0x3F8", "IIR"}},
    {AccessKind::IoWrite, 0x3FA, false, {"UART 0x3F8", "FCR"}},
    {AccessKind::IoRead, 0x2F8, true, {"UART 0x2F8", "RBR"}},
    {AccessKind::IoWrite, 0x71, false, {"CMOS", "data"}},
    {AccessKind::IoWrite, 0x4E, false, {"Super I/O", "index"}},
    {AccessKind::IoRead, 0xCFE, false, {"PCI", "CFC+2"}},
    {AccessKind::IoWrite, 0xE8, false, {"POST code", "dead loop"}},
    {AccessKind::IoRead, 0x408, false, {"ACPI PM timer", "PM_TMR"}},
    {AccessKind::IoRead, 0x1234, false, {}},
    {AccessKind::MmioWrite, kSpiBase + 4, false, {"SPI", "RestrictedCmd"}},
    {AccessKind::MmioRead, 0xFED80010, false, {"ACPI MMIO", "0x10"}},
    {AccessKind::MmioRead, 0xE00C4044, false, {"PCI window", "00:18.4+044"}},
};

// Named now, and named again from the trace once the latch has closed.
TEST(DeviceNames, TheMachineNamesAnAccessAsTheDeviceStoodThen) {
  sim::Board board = sim::referenceBoard();
  board.superIo.setUpEarlier = true;
  board.pci.push_back(sim::BoardPciFunction{0, 0x14, 3, {{sim::kSpiBaseRegister, kSpiBase}}});
  sim::Simulation simulation(board, std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so");
  sim::Machine &machine = simulation.machine();
  for (const NameCase &c : kNames) {
    SCOPED_TRACE(testing::Message() << std::hex << c.address);
    machine.ioWrite(0x3FB, 1, c.divisorLatch ? 0x83 : 0x03);
    EXPECT_EQ(machine.nameAt(c.kind, c.address), c.name);
    if (c.kind == AccessKind::IoRead || c.kind == AccessKind::IoWrite) {
      c.kind == AccessKind::IoRead ? (void)machine.ioRead(static_cast<uint16_t>(c.address), 1)
                                   : machine.ioWrite(static_cast<uint16_t>(c.address), 1, 0);
    } else {
      c.kind == AccessKind::MmioRead ? (void)machine.mmioRead(c.address, 1)
                                     : machine.mmioWrite(c.address, 1, 0);
    }
    size_t made = machine.trace().size() - 1;
    machine.ioWrite(0x3FB, 1, 0x03);
    EXPECT_EQ(machine.accessName(machine.trace()[made]), c.name);
  }
}

} // namespace
