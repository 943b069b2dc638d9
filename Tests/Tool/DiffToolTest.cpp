// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim record and diff on two real builds: the driver and a variant with
// one library instance swapped (Tests/Firmware/PlantedDxe), whose change of
// behaviour the comparison must name, in order of meaning.
#include "ScratchDir.h"
#include "ToolRun.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <vector>

namespace {

const std::string kSource = KESH_SOURCE_DIR;
const std::string kDriver = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";
const std::string kPlanted = std::string(KESH_IMAGE_DIR) + "/KeshInitDxePlanted.so";

std::string read(const std::string &path) {
  return std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {});
}

struct DiffCase {
  const char *what;
  std::string arguments; // MATRIX: a small matrix file; DIR: a scratch folder
  int exitCode;
  std::vector<std::string> inOrder; // each found after the one before
};

void PrintTo(const DiffCase &c, std::ostream *os) {
  *os << c.what;
}

class DiffTool : public ::testing::TestWithParam<DiffCase> {};

TEST_P(DiffTool, NamesWhatDiffersInOrderOfMeaning) {
  const DiffCase &c = GetParam();
  ScratchDir dir;
  std::string matrix = dir.file("m.toml", "[matrix]\nname = \"m\"\nbase = \"" + kSource +
                                              "/boards/reference.toml\"\n[[axis]]\nkey = "
                                              "\"platform.identity.pwd\"\nvalues = [0, 1, 2]\n");
  std::string arguments = std::regex_replace(c.arguments, std::regex("MATRIX"), matrix);
  arguments = std::regex_replace(arguments, std::regex("DIR"), dir.path(""));
  ToolRun run = dxesim(arguments);
  EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
  size_t at = 0;
  for (const std::string &expected : c.inOrder) {
    size_t found = run.output.find(expected, at);
    EXPECT_NE(found, std::string::npos) << "\"" << expected << "\" after offset " << at << " in:\n"
                                        << run.output;
    at = found == std::string::npos ? at : found + expected.size();
  }
}

const std::string kBoth = " --image-a " + kDriver + " --image-b " + kPlanted + " ";

INSTANTIATE_TEST_SUITE_P(
    Cases, DiffTool,
    ::testing::Values(
        DiffCase{"planted build, one board",
                 "diff" + kBoth + kSource + "/boards/reference.toml",
                 4,
                 {"verdicts (board.near-misses: pass -> not-applicable; halt: pass -> fail", "== outcome",
                  "completed: true -> false", "== verdicts", "halt: pass -> fail: the machine halted: SIG",
                  "spi.protect: pass -> not-applicable", "== hardware", "== console 0x2F8",
                  "== console 0x3F8", "== calls", "== spi"}},
        DiffCase{"planted build, a board it changes and one it does not reach",
                 "diff" + kBoth + kSource + "/boards/no-dxe-services.toml " + kSource +
                     "/boards/reference.toml",
                 4,
                 {"no-dxe-services.toml: ", "reference.toml: outcome"}},
        DiffCase{"the same build twice",
                 "diff --image-a " + kDriver + " --image-b " + kDriver + " " + kSource +
                     "/boards/s3-resume.toml",
                 0,
                 {"s3-resume.toml: the same"}},
        DiffCase{"a board against its golden record",
                 "diff " + kSource + "/Tests/Goldens/reference.json " + kSource + "/boards/reference.toml",
                 0,
                 {"the same behaviour"}},
        DiffCase{"a board against another board's golden",
                 "diff " + kSource + "/Tests/Goldens/reference.json " + kSource +
                     "/boards/unknown-system-id.toml",
                 4,
                 {"differ: hardware", "== hardware", "== console 0x2F8", "== calls", "== nvram_reads"}},
        DiffCase{"planted build over a matrix",
                 "diff" + kBoth + "--matrix MATRIX --jobs 2",
                 4,
                 {"-- 3 cases differ: outcome", "e.g. case 0: pwd=0",
                  "-- totals: 3 cases booted with each image, 0 alike, 3 differ in 1 way, 0 errors"}},
        DiffCase{"the same build over a matrix sample",
                 "diff --image-a " + kDriver + " --image-b " + kDriver +
                     " --matrix MATRIX --sample 2 --seed 7",
                 0,
                 {"-- totals: 2 cases booted with each image, 2 alike, 0 differ"}},
        DiffCase{"planted build over the single failures of a board",
                 "diff" + kBoth + "--sweep " + kSource + "/boards/reference.toml --lines 2",
                 4,
                 {"cases differ: outcome, verdicts (", "e.g. case ", " call 1 failing",
                  "-- totals: 55 cases booted"}},
        DiffCase{"the same build over the single failures of a board",
                 "diff --image-a " + kDriver + " --image-b " + kDriver + " --sweep " + kSource +
                     "/boards/no-dxe-services.toml",
                 0,
                 {"alike, 0 differ in 0 ways, 0 errors"}},
        // What the command line cannot mean is refused before anything boots.
        DiffCase{"one input",
                 "diff " + kSource + "/Tests/Goldens/reference.json",
                 64,
                 {"two records or boards; 1"}},
        DiffCase{"one image",
                 "diff --image-a " + kDriver + " " + kSource + "/boards/reference.toml",
                 64,
                 {"--image-a and --image-b come together"}},
        DiffCase{"a record where boards are booted",
                 "diff" + kBoth + kSource + "/Tests/Goldens/reference.json",
                 64,
                 {"every INPUT is a board"}},
        DiffCase{
            "a matrix without two images", "diff --matrix MATRIX", 64, {"--matrix: only with --image-a"}},
        DiffCase{"a sweep without two images",
                 "diff --sweep " + kSource + "/boards/reference.toml",
                 64,
                 {"--sweep: only with --image-a"}},
        DiffCase{"a sweep and a matrix",
                 "diff" + kBoth + "--sweep " + kSource + "/boards/reference.toml --matrix MATRIX",
                 64,
                 {"--sweep: the boots are the board's"}},
        DiffCase{"a sample without a matrix", "diff a.json b.json --sample 3", 64, {"only with --matrix"}},
        DiffCase{"a seed without a sample",
                 "diff" + kBoth + "--matrix MATRIX --seed 3",
                 64,
                 {"--seed: only with"}},
        DiffCase{"a file that is no record",
                 "diff " + kSource + "/docs/report.schema.json " + kSource + "/Tests/Goldens/reference.json",
                 1,
                 {"not a golden record of format 1"}},
        DiffCase{"a missing image",
                 "diff --image-a DIR/none.so --image-b " + kDriver + " " + kSource + "/boards/reference.toml",
                 1,
                 {"none.so"}}),
    [](const ::testing::TestParamInfo<DiffCase> &info) {
      return std::regex_replace(info.param.what, std::regex("[^A-Za-z0-9]+"), "_");
    });

// What record writes is what the repository keeps, byte for byte, and the
// same on every run.
TEST(RecordTool, WritesTheGoldenOfTheBoard) {
  ScratchDir dir;
  for (const char *board : {"reference", "s3-resume", "s3-wild-comm-buffer"}) {
    std::string out = dir.path(std::string(board) + ".json");
    ToolRun run = dxesim("record " + kSource + "/boards/" + board + ".toml -o " + out);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(read(out), read(kSource + "/Tests/Goldens/" + board + ".json")) << board;
  }
  ToolRun toStdout = dxesim("record", " 2>/dev/null");
  EXPECT_EQ(toStdout.exitCode, 0);
  EXPECT_EQ(toStdout.output.rfind("{\n  \"assertions\": [", 0), 0u) << toStdout.output.substr(0, 200);
}

} // namespace
