// SPDX-License-Identifier: BSD-2-Clause-Patent
// Boards that take away what the board they extend has, and the effective
// board printed as a board file that reads back to the same machine.
#include "Board/Board.h"
#include "Board/BoardPrint.h"
#include "ScratchDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

using Holds = std::function<bool(const sim::Board &)>;

// The reference board without the MC5744 protocol, with a variable, a GUID
// HOB and the level HOB: something of every kind to remove, and a protocol
// that is already gone.
constexpr const char *kBase = R"([board]
extends = "reference"
[platform.mc5744]
remove = true
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

struct Case {
  const char *name;
  const char *text;  // after "[board]\nextends = ...\n": line 3 on
  const char *error; // removals: "" and `after` holds
  Holds after = nullptr;
};

class BoardRemove : public ::testing::TestWithParam<Case> {
protected:
  BoardRemove() { scratch.file("base.toml", kBase); }
  ScratchDir scratch{"board-remove"};
};

bool hasDie(const sim::Board &b, uint8_t number) {
  return std::any_of(b.dies.begin(), b.dies.end(),
                     [&](const sim::BoardDie &d) { return d.number == number; });
}

TEST_P(BoardRemove, TakesAwayOnlyWhatItNamesOrSaysWhy) {
  std::string child =
      scratch.file("child.toml", "[board]\nextends = \"base.toml\"\n" + std::string(GetParam().text));
  try {
    sim::Board board = sim::loadBoardFile(child);
    ASSERT_TRUE(GetParam().after) << "accepted";
    EXPECT_FALSE(GetParam().after(sim::loadBoardFile((scratch.root() / "base.toml").string())));
    EXPECT_TRUE(GetParam().after(board));
  } catch (const sim::BoardError &error) {
    EXPECT_EQ(std::string(error.what()), scratch.root().string() + "/" + GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Board, BoardRemove,
    ::testing::Values(
        Case{"Protocol", "[platform.identity]\nremove = true\n", "",
             [](const sim::Board &b) { return !b.identity && b.nvram && b.sata && b.smmCommunication; }},
        Case{"GcdRange", "[[gcd]]\nbase = 0xFEC00000\nremove = true\n", "",
             [](const sim::Board &b) { return b.gcd.size() == 1 && b.gcd[0].base == 0; }},
        Case{"Variable",
             "[[variable]]\nname = \"Setup\"\nguid = \"db4b9aa9-459a-488c-a3e6-07e63cf20308\"\nremove = "
             "true\n",
             "", [](const sim::Board &b) { return b.variables.empty(); }},
        Case{"Hob", "[[hob]]\nguid = \"85A3C2A8-0B8A-41D9-9153-1447AC375EFF\"\nremove = true\n", "",
             [](const sim::Board &b) { return b.hobs.size() == 1 && b.hobs[0].data.size() == 4; }},
        Case{"Die", "[[die]]\nnumber = 2\nremove = true\n", "",
             [](const sim::Board &b) { return !hasDie(b, 2) && b.dies.size() == 3; }},
        Case{"PciFunction", "[[pci]]\nbus = 0\ndevice = 0x18\nfunction = 4\nremove = true\n", "",
             [](const sim::Board &b) { return b.pci.size() == 1 && b.pci[0].device == 0x14; }},
        // Read in order: a later entry adds back what an earlier one removed.
        Case{"DieAddedBack", "[[die]]\nnumber = 3\nremove = true\n[[die]]\nnumber = 3\nbus = 0x20\n", "",
             [](const sim::Board &b) { return b.dies.size() == 4 && b.dies.back().bus == 0x20; }},
        Case{"MissingDie", "[[die]]\nnumber = 5\nremove = true\n",
             "child.toml:5: key 'die.remove': the board this extends has no [[die]] number 5 (its dies: 0, "
             "1, 2, 3)"},
        Case{"MissingGcdRange", "[[gcd]]\nbase = 0xFED80000\nremove = true\n",
             "child.toml:5: key 'gcd.remove': the board this extends has no [[gcd]] range at base 0xFED80000 "
             "(its "
             "ranges' bases: 0x0, 0xFEC00000)"},
        Case{"MissingPciFunction", "[[pci]]\nbus = 0\ndevice = 0x14\nfunction = 0\nremove = true\n",
             "child.toml:7: key 'pci.remove': the board this extends has no [[pci]] function 00:14.0 (its "
             "functions: "
             "00:14.3, 00:18.4)"},
        Case{
            "MisspeltVariable",
            "[[variable]]\nname = \"SetUp\"\nguid = \"DB4B9AA9-459A-488C-A3E6-07E63CF20308\"\nremove = "
            "true\n",
            "child.toml:6: key 'variable.remove': the board this extends has no [[variable]] 'SetUp' of GUID "
            "DB4B9AA9-459A-488C-A3E6-07E63CF20308 (did you mean Setup?)"},
        Case{
            "VariableOfAnotherGuid",
            "[[variable]]\nname = \"Setup\"\nguid = \"85A3C2A8-0B8A-41D9-9153-1447AC375EFF\"\nremove = "
            "true\n",
            "child.toml:6: key 'variable.remove': the board this extends has no [[variable]] 'Setup' of GUID "
            "85A3C2A8-0B8A-41D9-9153-1447AC375EFF (its 'Setup' has GUID "
            "DB4B9AA9-459A-488C-A3E6-07E63CF20308)"},
        Case{"ProtocolNotInstalled", "\n[platform.mc5744]\nremove = true\n",
             "child.toml:5: key 'platform.mc5744.remove': the board this extends does not install the MC5744 "
             "hub "
             "controller protocol"},
        Case{"SettingBesideRemove", "[[gcd]]\nbase = 0x0\nlength = 0x1000\nremove = true\n",
             "child.toml:5: key 'gcd.length': is a setting: remove = true takes only base (what names the "
             "entry)"},
        Case{"SettingInARemovedProtocol", "[platform.identity]\nremove = true\nsystem_id = 2041\n",
             "child.toml:5: key 'platform.identity.system_id': is a setting: remove = true takes no other "
             "key"},
        Case{"RemoveIsABool", "[[die]]\nnumber = 1\nremove = 1\n",
             "child.toml:5: key 'die.remove': must be true or false"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(BoardRemoveAlone, ABoardThatExtendsNothingHasNothingToRemove) {
  std::string error;
  try {
    sim::parseBoardToml("[[die]]\nnumber = 0\nremove = true\n", "alone.toml");
  } catch (const sim::BoardError &e) {
    error = e.what();
  }
  EXPECT_EQ(error, "alone.toml:3: key 'die.remove': this board extends no other: there is nothing to remove");
}

// Settings no shipped board uses (those go through the golden round trip)
// survive printing and reading back, and the printed text is a fixpoint.
TEST(BoardPrint, KeepsWhatNoShippedBoardSays) {
  const Holds holds = [](const sim::Board &b) {
    const sim::Expectation &e = b.expectations.at("spi.lock");
    return b.pcd.at(215).value == 0xFFFFFFFFFFFFFFF0ull && b.uart2F8.divisor == 1 && !b.uart2F8.mcr &&
           b.uart2F8.neverDrains && b.superIo.devices.at(3).irq == 4 && b.cmos[0x7D] == 0 &&
           b.cmos[0x10] == 1 && b.hobLists.at(0).at(0).data == std::vector<uint8_t>{0x42, 0, 0, 0} &&
           b.hobLists[0].at(1).data.size() == 2 && b.sata->nullArray && !b.sata->ports.at(0).name &&
           b.sata->ports[0].die == 2 && b.nvram->unterminated.count(u"A b") == 1 &&
           b.nvram->values.at(u"A b") == u"x\"y" &&
           b.identity->states == std::map<uint32_t, uint8_t>{{3, 0xFF}} &&
           b.identity->getId == sim::IdentityConfig::GetId::NullRecord && b.name == "a \\ b" &&
           b.driverImage == "x.so" && b.s3.clientImage == "y.so" &&
           b.expectedHalt == sim::HaltReason::DriverFault && b.failures.at(0).call == 2 &&
           b.failures[0].status == EFI_NOT_FOUND && b.failures[0].guid && e.count == 2u &&
           e.reason == "why" && b.gcd.at(0).capabilities == 0x10000000000ull && b.gcd[0].image;
  };
  sim::Board board = sim::parseBoardToml(R"([board]
name = "a \\ b"
driver_image = "x.so"
[firmware]
expected_halt = "driver fault"
[[pcd]]
token = 215
value = "0xFFFFFFFFFFFFFFF0"
[[uart]]
base = 0x2F8
divisor = 1
never_drains = true
[super_io]
device = [{ number = 3, active = 1, base = 0x3F8, irq = 4 }]
[cmos]
bytes = [[0x7D, 0], [0x10, 1]]
[[gcd]]
base = 0x1000
length = 0x1000
type = "reserved"
capabilities = 0x10000000000
allocated = true
[[hob_list]]
hob = [{ level = 0x42 }, { guid = "85A3C2A8-0B8A-41D9-9153-1447AC375EFF", data = [1, 2] }]
[platform.sata]
get_port_list = "null-array"
port = [{ null_name = true, die = 2 }]
[platform.nvram]
unterminated = ["A b"]
values = { "A b" = "x\"y" }
[platform.identity]
states = [[3, 0xFF]]
get_id = "null-record"
[s3]
client_image = "y.so"
[[fail]]
service = "LocateProtocol"
call = 2
status = "Not Found"
guid = "A40A449B-AB60-4307-83FD-29782222A962"
[expect]
"spi.lock" = { verdict = "fail", count = 2, reason = "why" }
)",
                                         "given.toml");
  ASSERT_TRUE(holds(board)) << "the test's own board";
  std::string printed = sim::boardToml(board);
  sim::Board again = sim::parseBoardToml(printed, "printed.toml");
  EXPECT_TRUE(holds(again)) << printed;
  EXPECT_EQ(sim::boardToml(again), printed);
}

} // namespace
