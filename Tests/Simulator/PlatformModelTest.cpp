// SPDX-License-Identifier: BSD-2-Clause-Patent
// Platform shapes, each booted: the platform model says what the decisive
// checks conclude (the table states it), and every check the model
// predicts concludes exactly that on the real boot. A wrong model, a wrong
// check or a wrong driver each make a row fail.
#include "Boot/Boot.h"
#include "Boot/PlatformModel.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <map>
#include <string>
#include <vector>

namespace {

const std::string kImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";
const std::string kBase = std::string(KESH_SOURCE_DIR) + "/matrices/platform-base.toml";

const std::string kWindow = "[[machine.msr]]\nindex = 0xC0010058\nvalue = 0xE0000021\n";
const std::string kAcpiPage =
    "[[gcd]]\nbase = 0xFED80000\nlength = 0x1000\ntype = \"mmio\"\ncapabilities = [\"UC\", \"RUNTIME\"]\n";
const std::string kSpiPage =
    "[[gcd]]\nbase = 0xFEC10000\nlength = 0x1000\ntype = \"mmio\"\ncapabilities = [\"UC\", \"RUNTIME\"]\n";

std::string bridge(uint32_t value) {
  return fmt::format("[[pci]]\nbus = 0\ndevice = 0x14\nfunction = 3\nregisters = [[0xA0, {:#x}]]\n", value);
}

struct Shape {
  const char *name;
  std::string toml;                                // added to the platform base
  std::map<std::string, std::string> decisive;     // check -> verdict the model must give
  std::optional<size_t> assertions = std::nullopt; // the count it must give
};

std::vector<Shape> shapes() {
  const std::string whole = kWindow + kAcpiPage + kSpiPage + bridge(0xFEC10002);
  return {
      {"a whole platform",
       whole,
       {{"runtime-mmio", "pass"}, {"spi.protect", "pass"}, {"console", "pass"}},
       0},
      {"the ACPI page outside the map",
       kWindow + kSpiPage + bridge(0xFEC10002),
       {{"runtime-mmio", "warn"}},
       3},
      {"the ACPI page taken by another module",
       kWindow + kSpiPage + bridge(0xFEC10002) +
           "[[gcd]]\nbase = 0xFED80000\nlength = 0x1000\ntype = \"mmio\"\ncapabilities = [\"UC\", "
           "\"RUNTIME\"]\nallocated = true\n",
       {{"runtime-mmio", "warn"}},
       1},
      {"the ACPI page without RUNTIME",
       kWindow + kSpiPage + bridge(0xFEC10002) +
           "[[gcd]]\nbase = 0xFED80000\nlength = 0x1000\ntype = \"mmio\"\ncapabilities = [\"UC\"]\n",
       {{"runtime-mmio", "warn"}},
       1},
      {"the SPI page outside the map",
       kWindow + kAcpiPage + bridge(0xFEC10002),
       {{"runtime-mmio", "warn"}, {"spi.protect", "pass"}},
       2},
      {"the SPI base in RAM",
       kWindow + kAcpiPage + bridge(0x40000000),
       {{"spi.protect", "warn"}, {"spi.lock", "not-applicable"}, {"runtime-mmio", "pass"}},
       0},
      {"no SPI bridge", kWindow + kAcpiPage, {{"spi.protect", "warn"}}, 0},
      {"no PCI configuration window", kAcpiPage + kSpiPage + bridge(0xFEC10002), {}, 1},
      {"firmware older than UEFI 2.0", whole + "[firmware]\nsystem_table_revision = 0x0001000A\n", {}, 2},
      {"no runtime services", whole + "[firmware]\nruntime_services = false\n", {}, 1},
      {"no DXE services",
       whole + "[firmware]\ndxe_services = false\ntimeline = [\"load\", \"end-of-dxe\"]\n",
       {{"runtime-mmio", "not-applicable"}, {"spi.protect", "pass"}},
       3},
      {"only the second UART's device active",
       whole + "[[super_io.device]]\nnumber = 2\nactive = 1\nbase = 0x2F8\nirq = 3\n",
       {{"console", "warn"}},
       0},
      {"the primary UART reports its FIFOs off while an assertion is due",
       kAcpiPage + kSpiPage + bridge(0xFEC10002) + "[[uart]]\nbase = 0x3F8\nfifo_reports_off = true\n",
       {{"console", "warn"}},
       1},
      {"the second UART reports its FIFOs off",
       whole + "[[uart]]\nbase = 0x2F8\nfifo_reports_off = true\n",
       {{"console", "pass"}},
       0},
      // Every byte paced on a second UART without FIFOs, while the first
      // never drains: each burst still costs one bounded wait, not one per byte.
      {"the first UART never drains, the second reports its FIFOs off, everything printed",
       whole +
           "[[uart]]\nbase = 0x3F8\nnever_drains = true\n[[uart]]\nbase = 0x2F8\nfifo_reports_off = true\n" +
           "[cmos]\nbytes = [[0x7A, 0xFF], [0x7B, 0xFF], [0x7C, 0xFF], [0x7D, 0xFF]]\n" +
           "[firmware]\nsystem_table_revision = 0\nruntime_services = false\n",
       {{"halt", "pass"}, {"console", "warn"}},
       3},
      {"no End of DXE",
       whole + "[firmware]\ntimeline = [\"load\", \"pci-enumeration-complete\", \"ready-to-boot\"]\n",
       {{"spi.protect", "not-applicable"}, {"spi.armed-before-ports", "not-applicable"}},
       0},
  };
}

TEST(PlatformModel, ShapesBootAsTheModelSays) {
  for (const Shape &shape : shapes()) {
    SCOPED_TRACE(shape.name);
    sim::Board board = sim::parseBoardToml(fmt::format("[board]\nextends = \"{}\"\n{}", kBase, shape.toml),
                                           std::string(shape.name));
    auto predictions = sim::predictChecks(board);
    for (const auto &[check, verdict] : shape.decisive) {
      ASSERT_TRUE(predictions.count(check)) << check;
      EXPECT_EQ(sim::verdictName(predictions.at(check).outcome.verdict), verdict)
          << check << ": " << predictions.at(check).why;
    }
    if (shape.assertions) {
      EXPECT_EQ(predictions.at("assertions").outcome.count, shape.assertions)
          << predictions.at("assertions").why;
    }
    sim::Simulation simulation(board, kImage);
    simulation.run();
    for (const sim::CheckResult &check : simulation.record().checks) {
      auto predicted = predictions.find(check.name);
      if (predicted == predictions.end()) {
        continue;
      }
      EXPECT_EQ(sim::verdictName(check.verdict), sim::verdictName(predicted->second.outcome.verdict))
          << check.name << ": " << check.reason << " / model: " << predicted->second.why;
      if (predicted->second.outcome.count) {
        EXPECT_EQ(check.count, predicted->second.outcome.count) << check.name << ": " << check.reason;
      }
    }
  }
}

} // namespace
