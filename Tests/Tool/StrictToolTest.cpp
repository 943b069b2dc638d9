// SPDX-License-Identifier: BSD-2-Clause-Patent
// --strict on boot, sweep and matrix: an [expect] entry without a reason is
// refused before anything boots (exit 2), one line naming its file, line and
// check; a board whose entries all say why runs.
#include "ScratchDir.h"
#include "ToolRun.h"

#include <gtest/gtest.h>

namespace {

const std::string kSource = KESH_SOURCE_DIR;

struct StrictRow {
  const char *what;
  const char *command; // "{board}" / "{matrix}" stand for the files made
  const char *expect;  // the board's [expect] entry
  int status;
  const char *message; // on standard error; "" for none
};

class Strict : public ::testing::TestWithParam<StrictRow> {};

TEST_P(Strict, RefusesAnExpectationWithoutAReason) {
  const StrictRow &row = GetParam();
  ScratchDir dir("kesh-strict");
  std::string board = dir.file("b.toml", "[board]\nextends = \"" + kSource +
                                             "/boards/uart-never-drains.toml\"\nname = \"b\"\n[expect]\n" +
                                             row.expect + "\n");
  std::string matrix = dir.file("m.toml", "[matrix]\nname = \"m\"\nbase = \"" + board +
                                              "\"\n[[axis]]\nkey = \"platform.identity.system_id\"\n"
                                              "values = [2040]\n");
  std::string command = row.command;
  for (auto [from, to] : {std::pair<std::string, std::string>{"{board}", board}, {"{matrix}", matrix}}) {
    if (size_t at = command.find(from); at != std::string::npos) {
      command.replace(at, from.size(), to);
    }
  }
  ToolRun run = dxesim(command + " --quiet --strict", " 2>&1 >/dev/null");
  EXPECT_EQ(run.exitCode, row.status) << run.output;
  if (*row.message != '\0') {
    EXPECT_EQ(run.output, "dxesim: " + board + ":5: " + row.message + "\n");
  } else {
    EXPECT_EQ(run.output, "");
  }
}

constexpr const char *kNoReason = R"("spi.lock" = "pass")";
constexpr const char *kReasoned =
    R"("spi.lock" = { verdict = "pass", reason = "no PWD: the lock stays off" })";
constexpr const char *kRefusal =
    "expect: spi.lock: no reason given (--strict wants one for every expectation)";

INSTANTIATE_TEST_SUITE_P(
    Tool, Strict,
    ::testing::Values(StrictRow{"boot", "boot {board}", kNoReason, 2, kRefusal},
                      StrictRow{"sweep", "sweep {board} --only AllocatePool", kNoReason, 2, kRefusal},
                      StrictRow{"matrix", "matrix {matrix}", kNoReason, 2, kRefusal},
                      StrictRow{"boot_reasoned", "boot {board}", kReasoned, 0, ""},
                      StrictRow{"sweep_reasoned", "sweep {board} --only AllocatePool", kReasoned, 0, ""},
                      StrictRow{"matrix_reasoned", "matrix {matrix}", kReasoned, 0, ""},
                      // Unexpected: spi.lock passes where the board says it fails.
                      StrictRow{"boot_violation", "boot {board}",
                                R"("spi.lock" = { verdict = "fail", reason = "planted" })", 4, ""}),
    [](const ::testing::TestParamInfo<StrictRow> &info) { return std::string(info.param.what); });

// An unexpected warning is a violation under --strict (exit 4) and not
// without it (0), on every command that boots.
TEST(Tool, StrictCountsUnexpectedWarningsOnEveryCommand) {
  ScratchDir dir("kesh-strict");
  // The mirror UART warns; this board does not say it expects it.
  std::string board =
      dir.file("b.toml", "uart = [ { base = 0x2F8, never_drains = true } ]\n[board]\nextends = \"" + kSource +
                             "/boards/reference.toml\"\nname = \"w\"\n");
  for (const std::string &command : {"boot " + board, "sweep " + board + " --only AllocatePool"}) {
    EXPECT_EQ(dxesim(command + " --quiet", " >/dev/null 2>&1").exitCode, 0) << command;
    EXPECT_EQ(dxesim(command + " --quiet --strict", " >/dev/null 2>&1").exitCode, 4) << command;
  }
}

} // namespace
