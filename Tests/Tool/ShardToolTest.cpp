// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim matrix and sweep split with --shard, and put back with merge: the
// same table and JSON as one run; shards that are not one run refused.
#include "ScratchDir.h"
#include "ToolRun.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>

namespace {

const std::string kSource = KESH_SOURCE_DIR;

std::string matrixFile(const std::string &name) {
  return "[matrix]\nname = \"" + name + "\"\nbase = \"" + kSource +
         "/boards/reference.toml\"\n"
         "[[axis]]\nkey = \"platform.identity.system_id\"\nvalues = [2039, 0x1234]\n"
         "[[axis]]\nkey = \"s3.resume\"\nvalues = [false, true, \"no\"]\n";
}

std::string read(const std::string &path) {
  return std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {});
}

std::string withoutTiming(const std::string &text) {
  std::string out = std::regex_replace(text, std::regex("on \\d+ thread\\(s\\) in [0-9.]+ ms"), "");
  return std::regex_replace(out, std::regex("\"(seconds|threads)\": [0-9.e+-]+,?\n"), "");
}

struct Campaign {
  std::string command; // FILE: the matrix file
  int exitCode;
};

class ShardTool : public ::testing::TestWithParam<Campaign> {};

TEST_P(ShardTool, FourShardsMergedAreTheOneRun) {
  const Campaign &c = GetParam();
  ScratchDir dir;
  std::string command =
      std::regex_replace(c.command, std::regex("FILE"), dir.file("m.toml", matrixFile("m")));
  ToolRun whole = dxesim(command + " --json " + dir.path("whole.json"));
  ASSERT_EQ(whole.exitCode, c.exitCode) << whole.output;
  std::string shards;
  for (int i = 0; i < 4; i++) {
    std::string json = dir.path("shard" + std::to_string(i) + ".json");
    ToolRun shard = dxesim(command + " --shard " + std::to_string(i) + "/4 --json " + json);
    EXPECT_TRUE(shard.exitCode == 0 || shard.exitCode == c.exitCode) << shard.output;
    shards = json + " " + shards; // in any order
  }
  ToolRun merged = dxesim("merge " + shards + "--json " + dir.path("merged.json"));
  EXPECT_EQ(merged.exitCode, c.exitCode) << merged.output;
  EXPECT_EQ(withoutTiming(merged.output), withoutTiming(whole.output));
  EXPECT_EQ(withoutTiming(read(dir.path("merged.json"))), withoutTiming(read(dir.path("whole.json"))));
  EXPECT_NE(read(dir.path("merged.json")).find("\"count\": 1"), std::string::npos);
}

const Campaign kCampaigns[] = {
    {"matrix FILE --quiet --jobs 2", 4},
    {"sweep --only LocateProtocol --pairs CloseEvent --pair-limit 2 --quiet --jobs 2", 0},
};

INSTANTIATE_TEST_SUITE_P(Dxesim, ShardTool, ::testing::ValuesIn(kCampaigns),
                         [](const auto &info) { return info.index == 0 ? "Matrix" : "Sweep"; });

// Each with the exit status of a bad input file and the line that says why.
TEST(ShardToolMerge, ShardsThatAreNotOneRunAreRefused) {
  ScratchDir dir;
  std::string spec = dir.file("m.toml", matrixFile("m")), other = dir.file("o.toml", matrixFile("o"));
  auto shard = [&](const std::string &file, const std::string &which, const std::string &json) {
    ToolRun run = dxesim("matrix " + file + " --quiet --shard " + which + " --json " + dir.path(json));
    EXPECT_EQ(run.exitCode, which == "1/3" ? 0 : 4) << run.output; // "no" is in ids 2 and 5
    return dir.path(json);
  };
  std::string a = shard(spec, "0/2", "a.json"), b = shard(spec, "1/2", "b.json");
  std::string o = shard(other, "1/2", "o.json");
  std::string c = shard(spec, "1/3", "c.json");
  const std::pair<std::string, std::string> refusals[] = {
      {a, "shard(s) 1/2 missing"},
      {b, "shard(s) 0/2 missing"},
      {a + " " + b + " " + b, b + ": shard 1/2 is given twice (also " + b + ")"},
      {a + " " + o, o + ": a shard of another run (plan "},
      {a + " " + c, c + ": shard 1/3 is not one of " + a + "'s 2 shards"},
      {a + " " + spec, spec + ": not a shard's JSON result"},
  };
  for (const auto &[files, message] : refusals) {
    ToolRun run = dxesim("merge " + files);
    EXPECT_EQ(run.exitCode, 2) << files << "\n" << run.output;
    EXPECT_NE(run.output.find(message), std::string::npos) << message << "\n" << run.output;
  }
  EXPECT_EQ(dxesim("merge " + b + " " + a + " --json -", " 2>/dev/null").exitCode, 4);
}

} // namespace
