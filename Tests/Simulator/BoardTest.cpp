// Board files: what they describe, and how a bad one is refused.
#include "Board/Board.h"

#include <gtest/gtest.h>

namespace {

std::string errorOf(const std::string &text) {
  try {
    sim::parseBoardToml(text, "test.toml");
  } catch (const sim::BoardError &error) {
    return error.what();
  }
  return "";
}

TEST(Board, TheReferenceBoardParsesWithItsDocumentedTimeline) {
  sim::Board board = sim::referenceBoard();
  EXPECT_EQ(board.name, "Kesh reference board");
  using sim::Step;
  std::vector<Step> expected = {Step::Load,
                                Step::PciEnumerationComplete,
                                Step::SmmReadyToLock,
                                Step::EndOfDxe,
                                Step::ReadyToBoot,
                                Step::ReadyToBoot,
                                Step::ExitBootServices};
  EXPECT_EQ(board.timeline, expected);
  EXPECT_EQ(board.cmosErrorLevel(), 0x80000040u);
  EXPECT_EQ(board.systemTableRevision, 0x00020046u);
  ASSERT_EQ(board.gcd.size(), 2u);
  EXPECT_EQ(board.gcd[0].capabilities,
            EFI_MEMORY_UC | EFI_MEMORY_WC | EFI_MEMORY_WT | EFI_MEMORY_WB | EFI_MEMORY_RUNTIME);
  EXPECT_EQ(board.cpuid.at(1).ebx, 0x00000800u);
}

TEST(Board, AnEmptyFileIsTheDefaultMachine) {
  sim::Board board = sim::parseBoardToml("", "empty.toml");
  sim::Board defaults;
  EXPECT_EQ(board.timeline, defaults.timeline);
  EXPECT_EQ(board.cmos, defaults.cmos);
  EXPECT_EQ(board.source, "empty.toml");
}

TEST(Board, SixtyFourBitValuesMayBeWrittenAsStrings) {
  sim::Board board = sim::parseBoardToml(R"([[machine.msr]]
index = 0xC0010058
value = "0xE0000021"
[[pcd]]
token = 215
value = "0xFFFFFFFFFFFFFFF0"
[[gcd]]
base = 0xFED80000
length = 0x1000
type = "mmio"
capabilities = "0x8000000000000001"
)",
                                         "t.toml");
  EXPECT_EQ(board.msr.at(0xC0010058), 0xE0000021u);
  EXPECT_EQ(board.pcd.at(215).value, 0xFFFFFFFFFFFFFFF0u);
  EXPECT_EQ(board.pcd.at(215).size, 8u);
  EXPECT_EQ(board.gcd[0].capabilities, 0x8000000000000001u);
}

TEST(Board, FailuresNameAServiceACallAndAStatus) {
  sim::Board board = sim::parseBoardToml(R"([[fail]]
service = "LocateProtocol"
call = 2
status = "EFI_NOT_FOUND"
guid = "30CFE3E7-3DE1-4586-BE20-DEABA1B3B793"
)",
                                         "t.toml");
  ASSERT_EQ(board.failures.size(), 1u);
  EXPECT_EQ(board.failures[0].service, "LocateProtocol");
  EXPECT_EQ(board.failures[0].call, 2u);
  EXPECT_EQ(board.failures[0].status, EFI_NOT_FOUND);
  ASSERT_TRUE(board.failures[0].guid.has_value());
  EXPECT_EQ(board.failures[0].guid->Data1, 0x30CFE3E7u);
}

TEST(Board, ErrorsNameTheFileTheLineAndTheKey) {
  EXPECT_EQ(errorOf("[firmware]\n\nruntime_service = true\n"),
            "test.toml:3: key 'firmware.runtime_service': is not a board setting");
  EXPECT_EQ(errorOf("[[hob]]\nlevel = 0x1FFFFFFFF\n"),
            "test.toml:2: key 'hob.level': 0x1FFFFFFFF is larger than 0xFFFFFFFF");
  EXPECT_EQ(errorOf("[firmware]\ndxe_services = 1\n"),
            "test.toml:2: key 'firmware.dxe_services': must be true or false");
  EXPECT_EQ(errorOf("[firmware]\ntimeline = [\"load\", \"end-of-dxe\", \"load\"]\n"),
            "test.toml:2: key 'firmware.timeline': must hold \"load\" exactly once");
  EXPECT_NE(errorOf("[firmware]\ntimeline = [\"load\", \"endofdxe\"]\n").find("'endofdxe' is not a step"),
            std::string::npos);
  EXPECT_NE(errorOf("[[fail]]\nservice = \"CreateEvent\"\nstatus = \"EFI_WHATEVER\"\n")
                .find("test.toml:3: key 'fail.status'"),
            std::string::npos);
  EXPECT_NE(errorOf("[[fail]]\ncall = 1\n").find("key 'fail.service': is required"), std::string::npos);
  EXPECT_NE(
      errorOf("[[gcd]]\nbase = 0\nlength = 0x1000\ntype = \"mmio\"\ncapabilities = [\"UC\", \"FAST\"]\n")
          .find("'FAST' is not a memory attribute"),
      std::string::npos);
  EXPECT_NE(errorOf("[[pcd]]\ntoken = 5\nsize = 3\n").find("key 'pcd.size': must be 1, 2, 4 or 8 bytes"),
            std::string::npos);
  EXPECT_NE(errorOf("[[pcd]]\ntoken = 5\nsize = 1\nvalue = 256\n").find("0x100 is larger than 0xFF"),
            std::string::npos);
  EXPECT_NE(errorOf("[machine]\naccess_cost_ns = -4\n").find("must not be negative"), std::string::npos);
  EXPECT_NE(errorOf("[unknown]\n").find("key 'unknown': is not a board setting"), std::string::npos);
  EXPECT_NE(errorOf("[board\n").find("test.toml:1:"), std::string::npos);
}

TEST(Board, ExpectedVerdictsAreReadByCheckNameAndMustBeText) {
  sim::Board board = sim::parseBoardToml(R"([expect]
assertions = "fail"
"spi.protect" = "warn"
)",
                                         "expect.toml");
  std::map<std::string, std::string> expected = {{"assertions", "fail"}, {"spi.protect", "warn"}};
  EXPECT_EQ(board.expectedVerdicts, expected);
  EXPECT_NE(
      errorOf("[expect]\nassertions = 1\n").find("test.toml:2: key 'expect.assertions': must be a string"),
      std::string::npos)
      << errorOf("[expect]\nassertions = 1\n");
}

} // namespace
