// SPDX-License-Identifier: BSD-2-Clause-Patent
// Board files: what they describe, and how a bad one is refused.
#include "Board/Board.h"
#include "Host/BoundedFile.h"
#include "ScratchDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
  EXPECT_EQ(
      errorOf("[firmware]\n\nruntime_service = true\n"),
      "test.toml:3: key 'firmware.runtime_service': is not a board setting (did you mean runtime_services?)");
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

TEST(Board, ExpectedVerdictsAreReadByCheckNameQuotedOrDotted) {
  sim::Board board = sim::parseBoardToml(R"([expect]
assertions = "fail"
"spi.protect" = "warn"
s3.resume = "not-applicable"
)",
                                         "expect.toml");
  using sim::Verdict;
  std::map<std::string, sim::Expectation> expected = {{"assertions", {Verdict::Fail, std::nullopt}},
                                                      {"spi.protect", {Verdict::Warn, std::nullopt}},
                                                      {"s3.resume", {Verdict::NotApplicable, std::nullopt}}};
  EXPECT_EQ(board.expectations, expected);
  EXPECT_NE(errorOf("[expect]\nassertions = 1\n").find("test.toml:2: key 'expect.assertions': must be"),
            std::string::npos)
      << errorOf("[expect]\nassertions = 1\n");
  EXPECT_NE(errorOf("[expect]\nassertions = \"passed\"\n").find("must be"), std::string::npos);
}

TEST(Board, NumbersInStringsAreStrictUnsignedIntegers) {
  auto budget = [](const std::string &value) {
    return sim::parseBoardToml("[machine]\ntime_budget_ms = \"" + value + "\"\n", "t.toml").timeBudgetMs;
  };
  EXPECT_EQ(budget("0x20046"), 0x20046u);
  EXPECT_EQ(budget("017"), 15u) << "a leading 0 is octal";
  EXPECT_EQ(budget("0"), 0u);
  EXPECT_EQ(budget("1000"), 1000u);
  EXPECT_EQ(errorOf("[machine]\ntime_budget_ms = \"-5\"\n"),
            "test.toml:2: key 'machine.time_budget_ms': '-5' must not be negative");
  EXPECT_EQ(errorOf("[[machine.msr]]\nindex = 1\nvalue = \"-5\"\n"),
            "test.toml:3: key 'machine.msr.value': '-5' must not be negative");
  EXPECT_EQ(errorOf("[[gcd]]\nbase = 0\nlength = 1\ntype = \"mmio\"\nattributes = \"-1\"\n"),
            "test.toml:5: key 'gcd.attributes': '-1' must not be negative");
  EXPECT_EQ(errorOf("[firmware]\nsystem_table_revision = \"-1\"\n"),
            "test.toml:2: key 'firmware.system_table_revision': '-1' must not be negative")
      << "not 0xFFFFFFFFFFFFFFFF is larger than 0xFFFFFFFF";
  for (const char *text : {" 0x20046", "+0x20046", "0x20046 ", "0x", "08", "1e3", "", "0x-1", "1_000"}) {
    EXPECT_EQ(errorOf(std::string("[firmware]\nsystem_table_revision = \"") + text + "\"\n"),
              std::string("test.toml:2: key 'firmware.system_table_revision': '") + text +
                  "' is not a number")
        << text;
  }
  EXPECT_EQ(errorOf("[firmware]\nsystem_table_revision = \"1\\t2\"\n"),
            "test.toml:2: key 'firmware.system_table_revision': '1\\x092' is not a number")
      << "the text is shown escaped";
  EXPECT_EQ(errorOf("[[pcd]]\ntoken = 1\nvalue = \"0x10000000000000000\"\n"),
            "test.toml:3: key 'pcd.value': '0x10000000000000000' does not fit 64 bits");
  EXPECT_EQ(errorOf("[[pcd]]\ntoken = 1\nsize = 2\nvalue = \"0x10000\"\n"),
            "test.toml:4: key 'pcd.value': 0x10000 is larger than 0xFFFF");
}

TEST(Board, PairsAndTriplesAreCheckedAgainstTheirWidths) {
  sim::Board board = sim::parseBoardToml("[platform.identity]\nstates = [[0xFFFFFFFF, 1], [7, 0xFF]]\n", "t");
  EXPECT_EQ(board.identity->states.at(0xFFFFFFFF), 1u);
  EXPECT_EQ(board.identity->states.at(7), 0xFFu);
  EXPECT_EQ(errorOf("[platform.identity]\nstates = [[0x1_0000_0008, 1]]\n"),
            "test.toml:2: key 'platform.identity.states': each entry is [32-bit selector, answer byte]")
      << "not selector 8";
  EXPECT_NE(errorOf("[platform.identity]\nstates = [[8, 256]]\n").find("each entry is"), std::string::npos);
  EXPECT_NE(errorOf("[platform.identity]\nstates = [[8]]\n").find("each entry is"), std::string::npos);
  EXPECT_NE(errorOf("[platform.identity]\nstates = [[\"8\", 1]]\n").find("each entry is"), std::string::npos);
  EXPECT_NE(errorOf("[[pci]]\nbus = 0\ndevice = 0\nfunction = 0\nregisters = [[0x1002, 1]]\n")
                .find("each entry is [dword offset"),
            std::string::npos)
      << "not a multiple of 4";
  EXPECT_NE(errorOf("[[pci]]\nbus = 0\ndevice = 0\nfunction = 0\nregisters = [[0x1000, 1]]\n")
                .find("each entry is [dword offset"),
            std::string::npos);
  EXPECT_NE(
      errorOf("[s3]\nlose = [[0, 0, 8]]\n").find("each entry is [bus 0-255, device 0-31, function 0-7]"),
      std::string::npos);
  EXPECT_NE(errorOf("[cmos]\nbytes = [[128, 1]]\n").find("each entry is [index 0-127, byte]"),
            std::string::npos);
  EXPECT_NE(errorOf("[[variable]]\nname = \"V\"\nguid = \"59D1C24F-50F1-401A-B101-F33E0DAED443\"\n"
                    "data = [1, 256]\n")
                .find("every element must be a byte"),
            std::string::npos);
  sim::Board pci = sim::parseBoardToml(
      "[[pci]]\nbus = 1\ndevice = 2\nfunction = 3\nregisters = [[0xFFC, 0xFFFFFFFF], [0, 5]]\n", "t");
  ASSERT_EQ(pci.pci.size(), 1u);
  EXPECT_EQ(pci.pci[0].registers, (std::vector<std::pair<uint16_t, uint32_t>>{{0xFFC, 0xFFFFFFFF}, {0, 5}}));
}

TEST(Board, AtMost255SataPortsCanBeListed) {
  std::string ports;
  for (int i = 0; i < 255; i++) {
    ports += "[[platform.sata.port]]\nname = \"Port" + std::to_string(i) + "\"\n";
  }
  EXPECT_EQ(sim::parseBoardToml(ports, "t").sata->ports.size(), 255u);
  ports += "[[platform.sata.port]]\nname = \"Port255\"\n";
  EXPECT_NE(errorOf(ports).find("key 'platform.sata.port': at most 255 ports can be listed"),
            std::string::npos);
}

TEST(Board, ATimeBudgetMustFitNanosecondsIn64Bits) {
  EXPECT_EQ(sim::parseBoardToml("[machine]\ntime_budget_ms = 18446744073709\n", "t").timeBudgetMs,
            sim::kMaxTimeBudgetMs);
  EXPECT_EQ(errorOf("[machine]\ntime_budget_ms = 18446744073710\n"),
            "test.toml:2: key 'machine.time_budget_ms': 0x10C6F7A0B5EE is larger than 0x10C6F7A0B5ED");
  sim::Board board;
  board.timeBudgetMs = sim::kMaxTimeBudgetMs + 1;
  EXPECT_THROW(sim::validateBoard(board), sim::BoardError) << "a board built in code too";
}

TEST(Board, AFailureRuleMustFailWithAnErrorStatus) {
  EXPECT_EQ(errorOf("[[fail]]\nservice = \"LocateProtocol\"\nstatus = \"EFI_SUCCESS\"\n"),
            "test.toml:3: key 'fail.status': 'EFI_SUCCESS' is not an error status: a failing service must "
            "return an error");
  EXPECT_NE(errorOf("[[fail]]\nservice = \"LocateProtocol\"\nstatus = \"EFI_WARN_BUFFER_TOO_SMALL\"\n")
                .find("is not an error status"),
            std::string::npos);
  EXPECT_NE(errorOf("[[fail]]\nservice = \"LocateProtocol\"\nstatus = \"Success\"\n")
                .find("is not an error status"),
            std::string::npos)
      << "the %r text form too";
  sim::Board board =
      sim::parseBoardToml("[[fail]]\nservice = \"LocateProtocol\"\nstatus = \"Not Found\"\n", "t");
  EXPECT_EQ(board.failures.at(0).status, EFI_NOT_FOUND);
  board.failures.at(0).status = EFI_WARN_BUFFER_TOO_SMALL;
  EXPECT_THROW(sim::validateBoard(board), sim::BoardError) << "a board built in code too";
}

TEST(Board, TextIsAsciiWhereItBecomesChar16AndNamesHoldNoControlCharacters) {
  const std::string guid = "guid = \"59D1C24F-50F1-401A-B101-F33E0DAED443\"\n";
  EXPECT_EQ(errorOf("[[variable]]\nname = \"Na\u00efve\"\n" + guid),
            "test.toml:2: key 'variable.name': 'Na\u00efve' holds a character that is not ASCII (it becomes "
            "CHAR16 text)");
  EXPECT_NE(errorOf("[platform.nvram.values]\nUsbPorts = \"AllOff\u00e9\"\n").find("not ASCII"),
            std::string::npos);
  EXPECT_NE(errorOf("[platform.nvram.values]\n\"Usb\u00e9\" = \"AllOff\"\n").find("not ASCII"),
            std::string::npos);
  EXPECT_NE(errorOf("[platform.nvram]\nunterminated = [\"\u00e9\"]\n").find("not ASCII"), std::string::npos);
  EXPECT_NE(errorOf("[[platform.sata.port]]\nname = \"Port\u00e95\"\n").find("not ASCII"), std::string::npos);
  // Outside strings and comments such a character never reaches the TOML
  // library, whose check of it is undefined for some; comments take any.
  EXPECT_EQ(errorOf("[machine]\ntime_budge\u0317_ms = 1\n"),
            "test.toml:2: a character that is not ASCII (byte 0xCC) outside a string or a comment");
  EXPECT_EQ(
      sim::parseBoardToml("# caf\u00e9 \"'\n[machine] # \u00e9\ntime_budget_ms = 5\n", "t").timeBudgetMs, 5u);
  // Control characters are refused and shown escaped, never printed raw.
  EXPECT_EQ(errorOf("[board]\nname = \"two\\nlines\\u001b[31m\"\n"),
            "test.toml:2: key 'board.name': 'two\\x0Alines\\x1B[31m' holds the control character 0x0A");
  EXPECT_NE(errorOf("[[fail]]\nservice = \"Locate\\tProtocol\"\n").find("control character 0x09"),
            std::string::npos);
  EXPECT_NE(errorOf("[[variable]]\nname = \"A\\u0000B\"\n" + guid).find("control character 0x00"),
            std::string::npos);
  EXPECT_EQ(errorOf("[\"a\\u0007b\"]\n"), "test.toml:1: key 'a\\x07b': is not a board setting");
  EXPECT_EQ(errorOf("[expect]\n\"spi\\rlock\" = \"pass\"\n"),
            "test.toml:2: key 'expect.spi\\x0Dlock': 'spi\\x0Dlock' holds the control character 0x0D");
  std::string syntax = errorOf("[board]\nname = \"a\x01b\"\n");
  EXPECT_EQ(syntax.rfind("test.toml:2: ", 0), 0u) << syntax;
  EXPECT_EQ(syntax.find('\x01'), std::string::npos)
      << "a syntax error shows the character escaped: " << syntax;
  EXPECT_EQ(sim::parseBoardToml("[board]\nname = \"Syst\u00e8me 2041\"\n", "t").name, "Syst\u00e8me 2041")
      << "a name that is only printed may be UTF-8";
}

// An [expect] entry's reason: read as written, kept apart from the outcome
// it explains, and refused when it is not one line of text.
struct ReasonCase {
  const char *entry;
  const char *reason; // nullptr: the entry is refused
  const char *error;  // what the refusal says
};

class ExpectReason : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(ExpectReason, IsReadOrRefused) {
  const ReasonCase &c = GetParam();
  std::string text = std::string("[expect]\n") + c.entry + "\n";
  if (c.reason == nullptr) {
    EXPECT_NE(errorOf(text).find(c.error), std::string::npos) << errorOf(text);
    return;
  }
  sim::Board board = sim::parseBoardToml(text, "test.toml");
  const sim::Expectation &expectation = board.expectations.begin()->second;
  EXPECT_EQ(expectation.reason, c.reason);
  EXPECT_EQ(expectation.where, "test.toml:2");
}

INSTANTIATE_TEST_SUITE_P(
    Board, ExpectReason,
    ::testing::Values(ReasonCase{R"(console = { verdict = "warn", reason = "the mirror UART never sends" })",
                                 "the mirror UART never sends", ""},
                      ReasonCase{R"("spi.lock" = "fail")", "", ""}, // a bare verdict gives none
                      ReasonCase{R"(console = { verdict = "warn", reason = "" })", nullptr,
                                 "key 'expect.console.reason': must be a non-empty string"},
                      ReasonCase{R"(console = { verdict = "warn", reason = "two\nlines" })", nullptr,
                                 "key 'expect.console.reason'"},
                      ReasonCase{R"(console = { verdict = "warn", why = "x" })", nullptr,
                                 "is not an expectation key (verdict, count, reason)"}));

TEST(Board, TheExpectTableMapsCheckNamesToVerdicts) {
  sim::Board board = sim::parseBoardToml(R"([expect]
spi.lock = "fail"
"board.fail-rules" = "warn"
usb = "pass"
sata.port.disable = "not-applicable"
)",
                                         "t.toml");
  using sim::Verdict;
  std::map<std::string, sim::Expectation> expected = {
      {"spi.lock", {Verdict::Fail, std::nullopt}},
      {"board.fail-rules", {Verdict::Warn, std::nullopt}},
      {"usb", {Verdict::Pass, std::nullopt}},
      {"sata.port.disable", {Verdict::NotApplicable, std::nullopt}}};
  EXPECT_EQ(board.expectations, expected);
  // A check that counts takes a count beside its verdict.
  sim::Board counted = sim::parseBoardToml("[expect]\nassertions = { verdict = \"fail\", count = 2 }\n", "c");
  EXPECT_EQ(counted.expectations.at("assertions"), (sim::Expectation{Verdict::Fail, 2}));
  EXPECT_NE(errorOf("[expect]\nassertions = { verdict = \"fail\", count = -1 }\n").find("must be a count"),
            std::string::npos);
  EXPECT_NE(
      errorOf("[expect]\nassertions = { verdict = \"fail\", times = 2 }\n").find("not an expectation key"),
      std::string::npos);
  EXPECT_EQ(errorOf("[expect]\nspi.lock = \"broken\"\n"),
            "test.toml:2: key 'expect.spi.lock': must be \"pass\", \"fail\", \"warn\" or \"not-applicable\"");
  EXPECT_NE(errorOf("[expect]\n\"spi.lock\" = 1\n").find("key 'expect.spi.lock': must be"),
            std::string::npos);
  EXPECT_NE(errorOf("[expect]\nspi = [\"pass\"]\n").find("key 'expect.spi': must be"), std::string::npos);
  EXPECT_NE(errorOf("expect = 1\n").find("key 'expect': must be a table"), std::string::npos);
  EXPECT_TRUE(sim::parseBoardToml("", "t").expectations.empty());
}

// Boards on disk: extends, directories, files that are not boards.
class BoardFiles : public ::testing::Test {
protected:
  std::string write(const std::string &name, const std::string &text) { return scratch.file(name, text); }
  std::string errorOfFile(const std::string &path) {
    try {
      sim::loadBoardFile(path);
    } catch (const sim::BoardError &error) {
      return error.what();
    }
    return "";
  }
  ScratchDir scratch{"board-files"};
  const std::filesystem::path &dir = scratch.root();
};

TEST_F(BoardFiles, ADirectoryIsNotABoard) {
  EXPECT_EQ(errorOfFile(dir.string()), dir.string() + ": is a directory, not a file");
  std::string dot = write("dot.toml", "[board]\nextends = \".\"\n");
  EXPECT_EQ(errorOfFile(dot),
            dot + ":2: key 'board.extends': " + (dir / ".").string() + ": is a directory, not a file");
}

TEST_F(BoardFiles, AMissingBaseIsNamedWithTheBoardThatAskedForIt) {
  std::string mine = write("mine.toml", "[board]\nname = \"mine\"\nextends = \"reference.toml\"\n");
  EXPECT_EQ(errorOfFile(mine),
            mine + ":3: key 'board.extends': " + (dir / "reference.toml").string() +
                ": cannot be read: No such file or directory (the built-in reference board "
                "is extends = \"reference\")");
  std::string other = write("other.toml", "[board]\nextends = \"missing.toml\"\n");
  EXPECT_EQ(errorOfFile(other), other + ":2: key 'board.extends': " + (dir / "missing.toml").string() +
                                    ": cannot be read: No such file or directory");
  // The base's own errors still name the base.
  std::string base = write("base.toml", "[machine]\nspeed = 1\n");
  std::string child = write("child.toml", "[board]\nextends = \"base.toml\"\n");
  EXPECT_EQ(errorOfFile(child), base + ":2: key 'machine.speed': is not a board setting");
}

TEST_F(BoardFiles, ExtendsChainsStopAfterNineAndMergeExpectations) {
  write("b0.toml", "[expect]\nspi.lock = \"fail\"\nusb = \"pass\"\n");
  for (int i = 1; i <= 9; i++) {
    write("b" + std::to_string(i) + ".toml", "[board]\nextends = \"b" + std::to_string(i - 1) +
                                                 ".toml\"\nname = \"b" + std::to_string(i) + "\"\n");
  }
  std::string top = write("top.toml", "[board]\nextends = \"b9.toml\"\n[expect]\nusb = \"warn\"\n");
  sim::Board nine = sim::loadBoardFile((dir / "b9.toml").string());
  EXPECT_EQ(nine.name, "b9") << "nine extends in a row";
  EXPECT_EQ(nine.expectations.at("spi.lock").verdict, sim::Verdict::Fail);
  EXPECT_NE(errorOfFile(top).find("boards extend each other in a loop"), std::string::npos) << "ten";
  std::string one = write("one.toml", "[board]\nextends = \"b0.toml\"\n[expect]\nusb = \"warn\"\n");
  sim::Board merged = sim::loadBoardFile(one);
  EXPECT_EQ(merged.expectations,
            (std::map<std::string, sim::Expectation>{{"spi.lock", {sim::Verdict::Fail, std::nullopt}},
                                                     {"usb", {sim::Verdict::Warn, std::nullopt}}}));
  std::string loop = write("loop.toml", "[board]\nextends = \"loop.toml\"\n");
  EXPECT_NE(errorOfFile(loop).find("boards extend each other in a loop"), std::string::npos);
}

TEST_F(BoardFiles, FilesAreReadBoundedWithOneLineErrorsNamingThePath) {
  std::string small = write("small.bin", "12345678");
  EXPECT_EQ(sim::readBoundedText(small, 8), "12345678") << "exactly the limit";
  auto error = [](const std::string &path, uint64_t max) -> std::string {
    try {
      sim::readBoundedFile(path, max);
    } catch (const sim::FileReadError &e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(error(small, 7), small + ": is 8 bytes, larger than the 7 bytes allowed");
  EXPECT_EQ(error("/dev/zero", 1000), "/dev/zero: is not a regular file and did not end within 1000 bytes");
  EXPECT_EQ(error(dir.string(), 1000), dir.string() + ": is a directory, not a file");
  EXPECT_EQ(error((dir / "none").string(), 1000),
            (dir / "none").string() + ": cannot be read: No such file or directory");
  EXPECT_EQ(sim::readBoundedFile("/dev/null", 10).size(), 0u) << "a special file that ends is read";
  EXPECT_EQ(errorOfFile("/dev/zero"), "/dev/zero: is not a regular file and did not end within " +
                                          std::to_string(sim::kMaxBoardFileBytes) + " bytes");
}

} // namespace
