// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim given hostile files and outputs, as a reviewer tried it: each
// command with the exit status and the line it must give.
#include "ScratchDir.h"
#include "ToolRun.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

const std::string kSource = KESH_SOURCE_DIR;

std::string repeat(const std::string &part, size_t times, const std::string &separator = "") {
  std::string out;
  for (size_t i = 0; i < times; i++) {
    out += (i == 0 ? "" : separator) + part;
  }
  return out;
}

std::string matrix(const std::string &axes) {
  return "[matrix]\nname = \"m\"\nbase = \"" + kSource + "/boards/reference.toml\"\n" + axes;
}

std::string axes(size_t count, size_t values) {
  std::string out;
  for (size_t i = 0; i < count; i++) {
    out += "[[axis]]\nkey = \"a" + std::to_string(i) + "\"\nvalues = [" + repeat("1", values, ", ") + "]\n";
  }
  return out;
}

// One combination that boots cleanly.
const std::string kOneBoot = matrix("[[axis]]\nkey = \"s3.resume\"\nvalues = [false]\n");

struct Command {
  const char *what;
  std::string arguments; // FILE stands for the file below, DIR for the scratch directory
  std::string file;      // written first, when not empty
  int exitCode;
  std::string message; // a part of what the command prints
  const char *streams = " 2>&1";
  const char *environment = ""; // NAME=VALUE set for the run
};

const Command kCommands[] = {
    {"a matrix that never ends", "matrix /dev/zero", "", 2,
     "/dev/zero: is not a regular file and did not end within 4194304 bytes"},
    {"a matrix that is a folder", "matrix DIR", "", 2, "DIR: is a directory, not a file"},
    {"an empty base", "matrix FILE", "[matrix]\nbase = \"\"\n", 2,
     "FILE:2: key 'matrix.base': a board file (relative to this file) is required"},
    {"a folder as base", "matrix FILE", "[matrix]\nbase = \".\"\n", 2,
     "FILE:2: key 'matrix.base': DIR/: is a directory, not a file"},
    {"a matrix key that is not ASCII", "matrix FILE", "\xC3\xA9 = 1\n", 2,
     "FILE:1: a character that is not ASCII (byte 0xC3) outside a string or a comment"},
    {"a matrix with a byte-order mark", "matrix FILE --quiet",
     "\xEF\xBB\xBF" + matrix("[[axis]]\nkey = \"s3.resume\"\nvalues = [false]\n"), 0, "1 of 1 combinations"},
    {"a board with a byte-order mark", "boot FILE --quiet", "\xEF\xBB\xBF[board]\nextends = \"reference\"\n",
     0, "outcome: completed"},
    {"an [expect] key of 30,000 parts", "boot FILE", "[expect]\n" + repeat("x", 30000, ".") + " = \"fail\"\n",
     2, "FILE:2: nested deeper than 64 levels"},
    {"an axis key of 400,000 parts", "matrix FILE",
     matrix("[[axis]]\nkey = \"" + repeat("k", 400000, ".") + "\"\nvalues = [1]\n"), 2,
     "FILE:5: key 'axis.key': more than 64 parts"},
    {"64 axes of 2 values", "matrix FILE", matrix(axes(64, 2)), 2,
     "FILE: the axes make more than 18446744073709551615 combinations"},
    {"10^12 combinations and a limit", "matrix FILE --limit 5", matrix(axes(12, 10)), 2,
     "FILE: 1000000000000 combinations, more than the 1000000 one run boots: choose some with --sample N"},
    {"a sample of none", "matrix FILE --sample 0", matrix(axes(1, 2)), 64, "--sample: 0 is not 1 to 1000000"},
    {"a strategy that is not one", "matrix FILE --strategy quad", kOneBoot, 64,
     "--strategy quad: expected full, pairwise or t3"},
    {"a seed without a sample", "matrix FILE --seed 3", kOneBoot, 64, "--seed: only with --sample N"},
    {"a sample of a pairwise run", "matrix FILE --sample 5 --strategy pairwise", kOneBoot, 64,
     "--sample draws from the full product: not with --strategy pairwise"},
    {"a fully multiplied axis that is not one", "matrix FILE", matrix("full = [\"nope\"]\n" + axes(2, 2)), 2,
     "FILE:4: key 'matrix.full': 'nope' is not the name of an axis"},
    {"64 axes of 2 values, pairwise", "matrix FILE --strategy pairwise --limit 2 --quiet",
     matrix(axes(64, 2)), 4, "-- strategy: pairwise, 64 dimensions, 128 values: "},
    {"the report and the trace to one file", "boot --json DIR/out --trace DIR/out", "", 64,
     "--json and --trace both write to DIR/out: give each output its own file"},
    {"the page and the timeline to one file", "boot --timeline DIR/out --html DIR/out", "", 64,
     "--timeline and --html both write to DIR/out: give each output its own file"},
    {"the timeline and the report to standard output", "boot --timeline - --json -", "", 64,
     "--json and --timeline both write to standard output"},
    {"the timeline to a full disk", "boot --quiet --timeline -", "", 1,
     "standard output: cannot be written (timeline)", " 2>&1 >/dev/full"},
    {"the page to a full disk", "boot --quiet --html -", "", 1, "standard output: cannot be written (page)",
     " 2>&1 >/dev/full"},
    {"the outcomes into the cases' folder", "matrix FILE --json DIR --out DIR", kOneBoot, 64,
     "--json and --out both write to DIR"},
    {"a folder for the cases that cannot be made", "matrix FILE --out /dev/null/cases --quiet", kOneBoot, 1,
     "/dev/null/cases: cannot be made a folder for the failing combinations"},
    {"the summary to a full disk", "boot --quiet", "", 1, "dxesim: standard output: cannot be written",
     " 2>&1 >/dev/full"},
    {"the report to a full disk", "boot --json -", "", 1, "standard output: cannot be written (report)",
     " 2>&1 >/dev/full"},
    {"the trace to a full disk", "boot --quiet --trace -", "", 1,
     "standard output: cannot be written (trace)", " 2>&1 >/dev/full"},
    {"the outcomes to a full disk", "matrix FILE --quiet --json -", kOneBoot, 1,
     "standard output: cannot be written (matrix outcomes)", " 2>&1 >/dev/full"},
    {"the table to a full disk", "matrix FILE --quiet", kOneBoot, 1,
     "dxesim: standard output: cannot be written", " 2>&1 >/dev/full"},
    {"a mistyped service to fail", "sweep --only AllocPool --quiet", "", 64,
     "--only: \"AllocPool\" is no firmware service (did you mean AllocatePool?)"},
    {"a service of pairs that is none", "sweep --pairs CloseEvent,Xyzzy --quiet", "", 64,
     "--pairs: \"Xyzzy\" is no firmware service\n"},
    {"a status for no service", "sweep --status closeevent=EFI_NOT_FOUND --quiet", "", 64,
     "--status: \"closeevent\" is no firmware service (did you mean CloseEvent?)"},
    {"a device the machine lacks", "boot --quiet --trace - --trace-device UART,Floppy", "", 64,
     "--trace-device: \"Floppy\" is no device of this board's machine (CPU, debug environment, "},
    {"the sweep's old name for its pair limit", "sweep --limit 3", "", 64,
     "--limit: the sweep's limit of pairs is --pair-limit"},
    {"a matrix run on a missing image", "matrix FILE --image /nonexistent/KeshInitDxe.so", kOneBoot, 1,
     "dxesim: image KeshInitDxe not found at /nonexistent/KeshInitDxe.so\n"},
    {"a matrix run on an empty image", "matrix FILE --image /dev/null", kOneBoot, 1,
     "dxesim: image KeshInitDxe not found at /dev/null\n"},
    {"a shard past the last", "matrix FILE --shard 4/4", kOneBoot, 64,
     "--shard: \"4/4\" is not I/N with N at least 1 and I from 0 to N-1"},
    {"a shard of no shards", "sweep --shard 0/0", "", 64, "--shard: \"0/0\" is not I/N"},
    {"a shard without its count", "matrix FILE --shard 1", kOneBoot, 64, "--shard: \"1\" is not I/N"},
    {"a test runner's shard index alone", "matrix FILE", kOneBoot, 64,
     "GTEST_SHARD_INDEX is set without GTEST_TOTAL_SHARDS: set both, or neither", " 2>&1",
     "GTEST_SHARD_INDEX=1"},
    // Slips answered with what they most likely meant.
    {"a mistyped command", "bot", "", 64,
     "dxesim: \"bot\" is no command (did you mean boot?) (commands: boot, s3, "},
    {"a mistyped nested command", "s3 decod x", "", 64, "\"decod\" is no command (did you mean decode?)"},
    {"a mistyped option", "boot --jsn x", "", 64,
     "dxesim: boot: --jsn is no option (did you mean --json?)\n"},
    {"a mistyped option with its value", "matrix FILE --sampel=3", kOneBoot, 64,
     "matrix: --sampel is no option (did you mean --sample?)"},
    {"a mistyped board key", "boot FILE --quiet",
     "[board]\nextends = \"reference\"\n[platform.identity]\nsytem_id = 1\n", 2,
     "m.toml:4: key 'platform.identity.sytem_id': is not a board setting (did you mean system_id?)\n"},
    {"hexadecimal digits without 0x", "boot FILE --quiet",
     "[board]\nextends = \"reference\"\n[platform.identity]\nsystem_id = \"FFBF\"\n", 2,
     "'FFBF' is not a number (hexadecimal is written 0xFFBF)\n"},
    {"a mistyped check expected", "boot FILE --quiet",
     "[board]\nextends = \"reference\"\n\n[expect]\nspi.protec = \"warn\"\n", 2,
     "m.toml:5: expect: \"spi.protec\" is no check (did you mean spi.protect?)\n"},
    {"trace filters without a trace", "boot --quiet --trace-device SPI", "", 64,
     "--trace-time shape the trace: give --trace "},
    {"a test runner's shard that is no number", "sweep", "", 64,
     "GTEST_SHARD_INDEX/GTEST_TOTAL_SHARDS: \"x\" is not a number", " 2>&1",
     "GTEST_SHARD_INDEX=x GTEST_TOTAL_SHARDS=2"},
};

std::string substitute(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class HostileCommand : public ::testing::TestWithParam<Command> {};

TEST_P(HostileCommand, ExitsWithItsStatusAndSaysWhy) {
  const Command &c = GetParam();
  ScratchDir dir;
  std::string file = c.file.empty() ? "" : dir.file("m.toml", c.file);
  auto fill = [&](const std::string &text) {
    return substitute(substitute(text, "FILE", file), "DIR", dir.root().string());
  };
  ToolRun run = dxesim(fill(c.arguments), c.streams, c.environment);
  EXPECT_EQ(run.exitCode, c.exitCode) << c.what << "\n" << run.output.substr(0, 2000);
  EXPECT_NE(run.output.find(fill(c.message)), std::string::npos) << c.what << "\n"
                                                                 << run.output.substr(0, 2000);
}

INSTANTIATE_TEST_SUITE_P(Dxesim, HostileCommand, ::testing::ValuesIn(kCommands),
                         [](const auto &info) { return "Case" + std::to_string(info.index); });

// The folder for failing combinations exists after the run, failures or not.
TEST(HostileCommandOut, TheFolderIsMadeEvenWithNothingToWrite) {
  ScratchDir dir;
  std::string spec = dir.file("m.toml", kOneBoot);
  ToolRun run = dxesim("matrix " + spec + " --quiet --out " + dir.path("a/b"));
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(std::filesystem::is_directory(dir.path("a/b")));
  EXPECT_NE(run.output.find("-- 0 failing combination(s) written to " + dir.path("a/b")), std::string::npos);
}

} // namespace
