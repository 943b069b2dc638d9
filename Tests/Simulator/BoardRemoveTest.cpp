// SPDX-License-Identifier: BSD-2-Clause-Patent
// Boards that take away what the board they extend has, and the effective
// board printed as a board file that reads back to the same machine.
#include "Board/Board.h"
#include "Board/BoardPrint.h"
#include "ScratchDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

namespace {

// The reference board with a variable, a GUID HOB and the level HOB more:
// something of every kind to remove.
constexpr const char *kBase = R"([board]
extends = "reference"
[[variable]]
name = "Setup"
guid = "DB4B9AA9-459A-488C-A3E6-07E63CF20308"
data = [1]
[[hob]]
guid = "85A3C2A8-0B8A-41D9-9153-1447AC375EFF"
data = [2]
[[hob]]
level = 0x80000042
)";

class BoardRemove : public ::testing::Test {
protected:
  BoardRemove() { scratch.file("base.toml", kBase); }
  // A board extending base.toml with `text` after the extends (line 3 on).
  sim::Board child(const std::string &text) {
    return sim::loadBoardFile(scratch.file("child.toml", "[board]\nextends = \"base.toml\"\n" + text));
  }
  std::string childError(const std::string &text) {
    try {
      child(text);
    } catch (const sim::BoardError &error) {
      std::string message = error.what();
      return message.substr(message.find("child.toml"));
    }
    return "";
  }
  ScratchDir scratch{"board-remove"};
};

struct Removal {
  const char *name;
  const char *text;
  std::function<bool(const sim::Board &)> gone; // the entry is no longer there
  std::function<bool(const sim::Board &)> kept; // and its neighbours are
};

class RemoveEachKind : public BoardRemove, public ::testing::WithParamInterface<Removal> {};

TEST_P(RemoveEachKind, TakesAwayOnlyWhatItNames) {
  sim::Board base = sim::loadBoardFile((scratch.root() / "base.toml").string());
  ASSERT_FALSE(GetParam().gone(base)) << "the base has it";
  sim::Board board = child(GetParam().text);
  EXPECT_TRUE(GetParam().gone(board));
  EXPECT_TRUE(GetParam().kept(board));
}

bool hasDie(const sim::Board &b, uint8_t number) {
  return std::any_of(b.dies.begin(), b.dies.end(),
                     [&](const sim::BoardDie &d) { return d.number == number; });
}

INSTANTIATE_TEST_SUITE_P(
    Board, RemoveEachKind,
    ::testing::Values(
        Removal{"Identity", "[platform.identity]\nremove = true\n",
                [](const sim::Board &b) { return !b.identity; },
                [](const sim::Board &b) { return b.nvram && b.sata && b.mc5744 && b.smmCommunication; }},
        Removal{"Sata", "[platform.sata]\nremove = true\n", [](const sim::Board &b) { return !b.sata; },
                [](const sim::Board &b) { return b.identity.has_value(); }},
        Removal{"Mc5744", "[platform.mc5744]\nremove = true\n", [](const sim::Board &b) { return !b.mc5744; },
                [](const sim::Board &b) { return b.usbPortControl; }},
        Removal{"DebugPrintService", "[platform.debug_print_service]\nremove = true\n",
                [](const sim::Board &b) { return !b.debugPrintService; },
                [](const sim::Board &b) { return b.smmCommunication; }},
        Removal{"GcdRange", "[[gcd]]\nbase = 0xFEC00000\nremove = true\n",
                [](const sim::Board &b) { return b.gcd.size() == 1; },
                [](const sim::Board &b) { return b.gcd[0].base == 0; }},
        Removal{"Variable",
                "[[variable]]\nname = \"Setup\"\nguid = \"db4b9aa9-459a-488c-a3e6-07e63cf20308\"\nremove = "
                "true\n",
                [](const sim::Board &b) { return b.variables.empty(); },
                [](const sim::Board &) { return true; }},
        Removal{"Hob", "[[hob]]\nguid = \"85A3C2A8-0B8A-41D9-9153-1447AC375EFF\"\nremove = true\n",
                [](const sim::Board &b) { return b.hobs.size() == 1; },
                [](const sim::Board &b) { return b.hobs[0].data.size() == 4; }},
        Removal{"Die", "[[die]]\nnumber = 2\nremove = true\n",
                [](const sim::Board &b) { return !hasDie(b, 2); },
                [](const sim::Board &b) { return b.dies.size() == 3 && hasDie(b, 3); }},
        Removal{"PciFunction", "[[pci]]\nbus = 0\ndevice = 0x18\nfunction = 4\nremove = true\n",
                [](const sim::Board &b) { return b.pci.size() == 1; },
                [](const sim::Board &b) { return b.pci[0].device == 0x14; }},
        // Read in order: a later entry adds back what an earlier one removed.
        Removal{"DieAddedBack", "[[die]]\nnumber = 3\nremove = true\n[[die]]\nnumber = 3\nbus = 0x20\n",
                [](const sim::Board &b) { return b.dies.back().bus == 0x20; },
                [](const sim::Board &b) { return b.dies.size() == 4; }}),
    [](const auto &info) { return std::string(info.param.name); });

struct RemovalError {
  const char *name;
  const char *text;
  const char *error;
};

class RemoveRefused : public BoardRemove, public ::testing::WithParamInterface<RemovalError> {};

TEST_P(RemoveRefused, NamesTheFileTheLineAndWhatIsWrong) {
  EXPECT_EQ(childError(GetParam().text), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Board, RemoveRefused,
    ::testing::Values(
        RemovalError{
            "MissingDie", "[[die]]\nnumber = 5\nremove = true\n",
            "child.toml:5: key 'die.remove': the board this extends has no [[die]] number 5 (its dies: "
            "0, 1, 2, 3)"},
        RemovalError{"MissingGcdRange", "[[gcd]]\nbase = 0xFED80000\nremove = true\n",
                     "child.toml:5: key 'gcd.remove': the board this extends has no [[gcd]] range at base "
                     "0xFED80000 (its ranges' bases: 0x0, 0xFEC00000)"},
        RemovalError{"MissingPciFunction", "[[pci]]\nbus = 0\ndevice = 0x14\nfunction = 0\nremove = true\n",
                     "child.toml:7: key 'pci.remove': the board this extends has no [[pci]] function 00:14.0 "
                     "(its functions: 00:14.3, 00:18.4)"},
        RemovalError{
            "MisspeltVariable",
            "[[variable]]\nname = \"SetUp\"\nguid = \"DB4B9AA9-459A-488C-A3E6-07E63CF20308\"\nremove = "
            "true\n",
            "child.toml:6: key 'variable.remove': the board this extends has no [[variable]] 'SetUp' "
            "of GUID DB4B9AA9-459A-488C-A3E6-07E63CF20308 (did you mean Setup?)"},
        RemovalError{
            "VariableOfAnotherGuid",
            "[[variable]]\nname = \"Setup\"\nguid = \"85A3C2A8-0B8A-41D9-9153-1447AC375EFF\"\nremove = "
            "true\n",
            "child.toml:6: key 'variable.remove': the board this extends has no [[variable]] 'Setup' "
            "of GUID 85A3C2A8-0B8A-41D9-9153-1447AC375EFF (its 'Setup' has GUID "
            "DB4B9AA9-459A-488C-A3E6-07E63CF20308)"},
        RemovalError{
            "SettingBesideRemove", "[[gcd]]\nbase = 0x0\nlength = 0x1000\nremove = true\n",
            "child.toml:5: key 'gcd.length': is a setting: remove = true takes only base (what names "
            "the entry)"},
        RemovalError{"SettingInARemovedProtocol", "[platform.identity]\nremove = true\nsystem_id = 2041\n",
                     "child.toml:5: key 'platform.identity.system_id': is a setting: remove = true takes no "
                     "other key"},
        RemovalError{"RemoveIsABool", "[[die]]\nnumber = 1\nremove = 1\n",
                     "child.toml:5: key 'die.remove': must be true or false"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BoardRemove, AProtocolTheBaseDoesNotInstallCannotBeRemoved) {
  scratch.file("middle.toml", "[board]\nextends = \"base.toml\"\n[platform.mc5744]\nremove = true\n");
  std::string top =
      scratch.file("top.toml", "[board]\nextends = \"middle.toml\"\n\n[platform.mc5744]\nremove = true\n");
  try {
    sim::loadBoardFile(top);
    FAIL() << "removed twice";
  } catch (const sim::BoardError &error) {
    EXPECT_EQ(std::string(error.what()),
              top +
                  ":5: key 'platform.mc5744.remove': the board this extends does not install the MC5744 hub "
                  "controller protocol");
  }
}

TEST(BoardRemoveAlone, ABoardThatExtendsNothingHasNothingToRemove) {
  try {
    sim::parseBoardToml("[[die]]\nnumber = 0\nremove = true\n", "alone.toml");
    FAIL() << "accepted";
  } catch (const sim::BoardError &error) {
    EXPECT_EQ(std::string(error.what()),
              "alone.toml:3: key 'die.remove': this board extends no other: there is nothing to remove");
  }
}

// Settings no shipped board uses (the shipped boards go through the golden
// round trip): each must survive printing and reading back.
struct Printed {
  const char *name;
  const char *text;
  std::function<bool(const sim::Board &)> holds;
};

class PrintedBoard : public ::testing::TestWithParam<Printed> {};

TEST_P(PrintedBoard, ReadsBackToTheSameSetting) {
  sim::Board board = sim::parseBoardToml(GetParam().text, "given.toml");
  ASSERT_TRUE(GetParam().holds(board)) << "the case's own board";
  std::string printed = sim::boardToml(board);
  sim::Board again = sim::parseBoardToml(printed, "printed.toml");
  EXPECT_TRUE(GetParam().holds(again)) << printed;
  EXPECT_EQ(sim::boardToml(again), printed) << "printing the printed board changes nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Board, PrintedBoard,
    ::testing::Values(
        Printed{"SixtyFourBitValues", "[[pcd]]\ntoken = 215\nvalue = \"0xFFFFFFFFFFFFFFF0\"\n",
                [](const sim::Board &b) { return b.pcd.at(215).value == 0xFFFFFFFFFFFFFFF0ull; }},
        Printed{"UartLeftSetUp", "[[uart]]\nbase = 0x2F8\ndivisor = 1\nlcr = 0x03\nnever_drains = true\n",
                [](const sim::Board &b) {
                  return b.uart2F8.divisor == 1 && b.uart2F8.lcr == 3 && !b.uart2F8.mcr &&
                         b.uart2F8.neverDrains;
                }},
        Printed{"SuperIoDevice",
                "[super_io]\n[[super_io.device]]\nnumber = 3\nactive = 1\nbase = 0x3F8\nirq = 4\n",
                [](const sim::Board &b) {
                  return b.superIo.devices.at(3).base == 0x3F8 && b.superIo.devices.at(3).irq == 4;
                }},
        Printed{"HobListAndGuidHob",
                "[[hob_list]]\n[[hob_list.hob]]\nlevel = 0x42\n[[hob_list.hob]]\nguid = "
                "\"85A3C2A8-0B8A-41D9-9153-1447AC375EFF\"\ndata = [1, 2]\n",
                [](const sim::Board &b) {
                  return b.hobLists.size() == 1 && b.hobLists[0].size() == 2 &&
                         b.hobLists[0][0].data == std::vector<uint8_t>{0x42, 0, 0, 0} &&
                         b.hobLists[0][1].data == std::vector<uint8_t>{1, 2};
                }},
        Printed{"SataNullNameAndFailingCalls",
                "[platform.sata]\nget_port_list = \"null-array\"\n[[platform.sata.port]]\nnull_name = "
                "true\ndie = 2\n",
                [](const sim::Board &b) {
                  return b.sata && b.sata->nullArray && b.sata->ports.size() == 1 && !b.sata->ports[0].name &&
                         b.sata->ports[0].die == 2;
                }},
        Printed{"NvramQuotedNames",
                "[platform.nvram]\nunterminated = [\"A b\"]\n[platform.nvram.values]\n\"A b\" = \"x\\\"y\"\n",
                [](const sim::Board &b) {
                  return b.nvram && b.nvram->unterminated.count(u"A b") == 1 &&
                         b.nvram->values.at(u"A b") == u"x\"y";
                }},
        Printed{"IdentityStatesWithoutPwd",
                "[platform.identity]\nstates = [[3, 0xFF]]\nget_id = \"null-record\"\n",
                [](const sim::Board &b) {
                  return b.identity && b.identity->states.size() == 1 && b.identity->states.at(3) == 0xFF &&
                         b.identity->getId == sim::IdentityConfig::GetId::NullRecord;
                }},
        Printed{"FailureRuleWithGuid",
                "[[fail]]\nservice = \"LocateProtocol\"\ncall = 2\nstatus = \"Not Found\"\nguid = "
                "\"A40A449B-AB60-4307-83FD-29782222A962\"\n",
                [](const sim::Board &b) {
                  return b.failures.size() == 1 && b.failures[0].call == 2 &&
                         b.failures[0].status == EFI_NOT_FOUND && b.failures[0].guid;
                }},
        Printed{
            "ExpectationsHaltAndImages",
            "[board]\nname = \"a \\\\ b\"\ndriver_image = \"x.so\"\n[firmware]\nexpected_halt = \"driver "
            "fault\"\n[s3]\nclient_image = \"y.so\"\n[expect]\n\"spi.lock\" = { verdict = \"fail\", count = "
            "2, reason = \"why\" }\n",
            [](const sim::Board &b) {
              const sim::Expectation &e = b.expectations.at("spi.lock");
              return b.name == "a \\ b" && b.driverImage == "x.so" && b.s3.clientImage == "y.so" &&
                     b.expectedHalt == sim::HaltReason::DriverFault && e.verdict == sim::Verdict::Fail &&
                     e.count == 2u && e.reason == "why";
            }},
        Printed{"GcdAttributesWithoutNames",
                "[[gcd]]\nbase = 0x1000\nlength = 0x1000\ntype = \"reserved\"\ncapabilities = 0x10000000000\n"
                "allocated = true\n",
                [](const sim::Board &b) {
                  return b.gcd.size() == 1 && b.gcd[0].capabilities == 0x10000000000ull &&
                         b.gcd[0].type == EfiGcdMemoryTypeReserved && b.gcd[0].image != nullptr;
                }},
        Printed{"CmosByteClearedFromItsDefault", "[cmos]\nbytes = [[0x7D, 0x00], [0x10, 0x01]]\n",
                [](const sim::Board &b) {
                  return b.cmos[0x7D] == 0 && b.cmos[0x10] == 1 && b.cmos[0x7A] == 0x40;
                }}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
