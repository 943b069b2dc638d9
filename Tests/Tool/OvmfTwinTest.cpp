// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim ovmf: what the OVMF fixture is told about a board, the twin the
// simulator boots in its place, and the boards OVMF cannot express.
#include <nlohmann/json.hpp>

#include "ScratchDir.h"
#include "ToolRun.h"

#include <OvmfFixtureDxe/FixtureConfig.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const std::string kBoards = std::string(KESH_SOURCE_DIR) + "/boards/";

std::string writeBoard(const std::string &name, const std::string &text) {
  std::string path = processScratch().path(name);
  std::ofstream(path) << text;
  return path;
}

struct TwinRun {
  ToolRun run;
  KESH_OVMF_CONFIG config{};
  nlohmann::json twin;
  std::string uart0;
};

std::string fromHex(const std::string &hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

TwinRun twinOf(const std::string &board) {
  std::string config = processScratch().path("twin.cfg");
  std::string json = processScratch().path("twin.json");
  std::remove(config.c_str());
  std::remove(json.c_str());
  TwinRun out{dxesim("ovmf " + board + " --config " + config + " --json " + json), {}, {}, ""};
  std::ifstream in(config, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() == sizeof(KESH_OVMF_CONFIG)) {
    std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char *>(&out.config));
  }
  if (std::ifstream twin(json); twin) {
    out.twin = nlohmann::json::parse(twin);
    out.uart0 = fromHex(out.twin["uart0"]);
  }
  return out;
}

std::vector<std::string> linesStarting(const nlohmann::json &twin, const std::string &prefix) {
  std::vector<std::string> out;
  for (const std::string line : twin["record"]) {
    if (line.rfind(prefix, 0) == 0) {
      out.push_back(line);
    }
  }
  return out;
}

TEST(OvmfTwin, AHubBoardLosesItsHubAndHasPciAndSmmDoneBeforeTheDriverLoads) {
  TwinRun r = twinOf(kBoards + "reference.toml");
  ASSERT_EQ(r.run.exitCode, 0) << r.run.output;
  for (const char *change :
       {"twin: PCI enumeration complete and SMM ready-to-lock installed before every other step",
        "twin: no [[pci]] functions (the board has 2)", "twin: no die root devices (the board has 4)",
        "twin: MSR 0xC0010058 reads 0"}) {
    EXPECT_NE(r.run.output.find(change), std::string::npos) << change << "\n" << r.run.output;
  }
  // The driver finds PCI enumeration complete at its entry, and no SPI bridge.
  size_t pci = r.uart0.find("KeshOnPciEnumComplete: Report ACPI MMIO as runtime memory type\r\n");
  size_t exit = r.uart0.find("KeshInitEntryPoint Exit\r\n");
  ASSERT_NE(pci, std::string::npos) << r.uart0;
  EXPECT_LT(pci, exit) << r.uart0;
  EXPECT_NE(r.uart0.find("SPI Base Address is incorrect !!\r\n"), std::string::npos) << r.uart0;

  // What the fixture is told: the steps without the two OVMF has done.
  EXPECT_EQ(r.config.Magic, KESH_OVMF_CONFIG_MAGIC);
  std::vector<int> steps(r.config.Steps, r.config.Steps + r.config.StepCount);
  std::vector<int> expected = {KESH_OVMF_STEP_LOAD, KESH_OVMF_STEP_END_OF_DXE, KESH_OVMF_STEP_READY_TO_BOOT,
                               KESH_OVMF_STEP_READY_TO_BOOT, KESH_OVMF_STEP_EXIT_BOOT_SERVICES};
  EXPECT_EQ(steps, expected);
  EXPECT_EQ(r.config.Protocols, 0x7Fu) << "every platform protocol";
  EXPECT_EQ(r.config.CmosLevel[0], 0x40);
  EXPECT_EQ(r.config.CmosLevel[3], 0x80);
  EXPECT_EQ(r.config.CommBufferSize, 4096u);
  // Tokens 228-236 of the board, and the S3 library's 214 and 215.
  ASSERT_EQ(r.config.PcdCount, 11u);
  EXPECT_EQ(r.config.Pcd[0].Token, 214u);
  EXPECT_EQ(r.config.Pcd[1].Token, 215u);
  EXPECT_EQ(r.config.Pcd[10].Token, 236u);
  EXPECT_EQ(r.config.Pcd[10].Size, 8u);
  // The ACPI MMIO page as the board maps it, with what EDK II's GCD adds.
  EXPECT_EQ(r.config.GcdPresent, 1);
  EXPECT_EQ(r.config.GcdCapabilities, 0x8000000000000001ULL);
  EXPECT_EQ(linesStarting(
                r.twin, "gcd 0xfed80000 base 0xfed80000 length 0x1000 type 3 capabilities 0xc000000000000001")
                .size(),
            1u)
      << r.twin["record"].dump(1);
}

TEST(OvmfTwin, TheOvmfEquivalentBoardIsItsOwnTwin) {
  TwinRun r = twinOf(kBoards + "ovmf-equivalent.toml");
  ASSERT_EQ(r.run.exitCode, 0) << r.run.output;
  EXPECT_NE(r.run.output.find("twin: the board itself"), std::string::npos) << r.run.output;
  EXPECT_TRUE(r.twin["twin_changes"].empty());
  EXPECT_EQ(r.config.SystemId, 2041);
  ASSERT_EQ(r.config.PortCount, 2u);
  EXPECT_STREQ(r.config.Ports[1].Name, "SATA Port5");
  EXPECT_EQ(r.config.Ports[1].AhciPort, 5);
  EXPECT_EQ(r.config.Ports[1].Die, 1);
  std::vector<int> steps(r.config.Steps, r.config.Steps + r.config.StepCount);
  EXPECT_EQ(steps[1], KESH_OVMF_STEP_LOAD_S3_CLIENT);
  // The S3 client's hand-off reaches the record with its table.
  EXPECT_EQ(linesStarting(r.twin, "s3 communicate size 40 -> Success").size(), 1u)
      << r.twin["record"].dump(1);
  EXPECT_EQ(linesStarting(r.twin, "s3 table-end 44885501").size(), 1u) << r.twin["record"].dump(1);
}

TEST(OvmfTwin, EveryPlatformCallIsRecordedInTheOrderItCame) {
  TwinRun r = twinOf(kBoards + "pwd-2040-back-ports.toml");
  ASSERT_EQ(r.run.exitCode, 0) << r.run.output;
  std::vector<std::string> calls = linesStarting(r.twin, "call ");
  std::vector<std::string> usb = {
      "call identity GetIdPtr -> Success", "call usb SetPortMask 0 0xa 0xa -> Success",
      "call mc5744 SetPortEnables 1 1 0 0 -> Success", "call mc5744 ApplyConfig 0x1 -> Success"};
  auto at = std::search(calls.begin(), calls.end(), usb.begin(), usb.end());
  EXPECT_NE(at, calls.end()) << r.twin["record"].dump(1);
  EXPECT_EQ(calls.front(), "call nvram GetAttribute UsbPorts -> Success");
  EXPECT_NE(std::find(calls.begin(), calls.end(), "call nvram GetAttribute RedundantOsState -> Not Found"),
            calls.end());
  EXPECT_EQ(linesStarting(r.twin, "pcd ").size(), 1u) << "the S3 library's private data only";
  EXPECT_EQ(linesStarting(r.twin, "debugmask KeshInitDxe revision 0x10000 -> Success mask 0x80000040").size(),
            1u)
      << r.twin["record"].dump(1);
}

TEST(OvmfTwin, ProtocolsTheBoardLeavesOutAreNotInstalledOrCalled) {
  TwinRun r = twinOf(kBoards + "no-sata-mc5744-smm.toml");
  ASSERT_EQ(r.run.exitCode, 0) << r.run.output;
  EXPECT_EQ(r.config.Protocols,
            static_cast<UINT32>(KESH_OVMF_NVRAM | KESH_OVMF_IDENTITY | KESH_OVMF_USB_PORT_CONTROL |
                                KESH_OVMF_DEBUG_PRINT_SERVICE));
  EXPECT_TRUE(linesStarting(r.twin, "call sata").empty());
  EXPECT_TRUE(linesStarting(r.twin, "call mc5744").empty());
  EXPECT_TRUE(linesStarting(r.twin, "s3 ").empty());
  EXPECT_FALSE(linesStarting(r.twin, "call usb SetPortMask").empty());
}

TEST(OvmfTwin, ABoardAskingForWhatOvmfCannotGiveIsRefusedWithEveryReason) {
  std::string path =
      writeBoard("ovmf-refused.toml", "[board]\nextends = \"" + kBoards + "reference.toml\"\n" + R"(
[firmware]
system_table_revision = 0x00020050
timeline = ["load", "exit-boot-services", "ready-to-boot"]
[[hob]]
level = 0x80000042
[s3]
resume = true
[[fail]]
service = "LocateProtocol"
[platform.nvram.values]
UsbPorts = "A value much longer than the sixty-three characters a fixture field holds"
)");
  std::string config = processScratch().path("refused.cfg");
  std::remove(config.c_str());
  ToolRun run = dxesim("ovmf " + path + " --config " + config);
  EXPECT_EQ(run.exitCode, 2) << run.output;
  for (const char *reason :
       {"OVMF cannot give failure injection", "OVMF cannot give firmware revision 0x00020050",
        "OVMF cannot give HOBs", "OVMF cannot give a sleep and resume",
        "OVMF cannot give step ready-to-boot after exit-boot-services",
        "OVMF cannot give NVRAM attribute UsbPorts"}) {
    EXPECT_NE(run.output.find(path + ": " + reason), std::string::npos) << reason << "\n" << run.output;
  }
  EXPECT_FALSE(std::ifstream(config).good()) << "nothing is written for a refused board";
  EXPECT_EQ(run.output.find("KeshInitEntryPoint"), std::string::npos) << "nothing booted";

  ToolRun s3 = dxesim("ovmf " + kBoards + "s3-resume.toml");
  EXPECT_EQ(s3.exitCode, 2);
  EXPECT_NE(s3.output.find("OVMF cannot give a sleep and resume"), std::string::npos) << s3.output;
}

} // namespace
