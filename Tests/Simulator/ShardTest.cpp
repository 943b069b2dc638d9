// SPDX-License-Identifier: BSD-2-Clause-Patent
// A campaign split over machines: shards merged give the one run's table
// and JSON, whatever order the shards come in (refusals: ShardToolTest);
// the service names a sweep accepts are those the core counts.
#include "Explore/Matrix.h"
#include "Explore/Merge.h"
#include "Explore/ServiceNames.h"
#include "Host/NearestName.h"
#include "Explore/Sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace {

namespace ex = sim::explore;

const std::string kImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";
const std::string kReference = std::string(KESH_SOURCE_DIR) + "/boards/reference.toml";

// Passing and failing ("no" is refused) outcomes spread over the shards.
const std::string kMatrix = "[matrix]\nname = \"shards\"\nbase = \"" + kReference +
                            "\"\n"
                            "[[axis]]\nkey = \"platform.identity.system_id\"\nvalues = [2039, 0x1234]\n"
                            "[[axis]]\nkey = \"platform.nvram.values.UsbPorts\"\n"
                            "values = [\"absent\", \"AllOff\", \"OnlyBackPortsOn\"]\n"
                            "[[axis]]\nkey = \"s3.resume\"\nvalues = [false, \"no\"]\n";

// The timing the shards cannot share, out of what is compared.
std::string withoutTiming(const std::string &text) {
  return std::regex_replace(text, std::regex("on \\d+ thread\\(s\\) in [0-9.]+ ms"),
                            "on T thread(s) in S ms");
}

nlohmann::json withoutTiming(nlohmann::json json) {
  return json.erase("seconds") + json.erase("threads") == 2 ? json : nullptr;
}

// Each shard as it travels: written as JSON, read back.
template <typename Result, typename Run, typename Write, typename Read>
std::vector<Result> shardsOf(size_t count, Run run, Write write, Read read) {
  std::vector<Result> shards;
  for (size_t i = 0; i < count; i++) {
    shards.push_back(read(nlohmann::json::parse(write(run(ex::Shard{i, count})).dump())));
  }
  std::reverse(shards.begin(), shards.end()); // the order they arrive in is any
  return shards;
}

TEST(Shards, FourMatrixShardsMergedAreTheOneRun) {
  ex::Matrix matrix = ex::parseMatrixToml(kMatrix, "shards.toml");
  auto run = [&](ex::Shard shard) {
    ex::MatrixOptions options;
    options.driverImage = kImage;
    options.threads = 2;
    options.shard = shard;
    return ex::runMatrix(matrix, options);
  };
  ex::MatrixResult whole = run({});
  ASSERT_EQ(whole.booted, 12u);
  ASSERT_GE(whole.outcomes.size(), 3u);
  ASSERT_EQ(whole.failures(), 6u) << "every \"no\" is refused";

  std::vector<ex::MatrixResult> shards =
      shardsOf<ex::MatrixResult>(4, run, ex::matrixJson, ex::matrixFromJson);
  EXPECT_EQ(shards.back().booted, 3u) << "ids 0, 4, 8";
  ex::MatrixResult merged = ex::mergeMatrix(shards, {"3", "2", "1", "0"});
  EXPECT_EQ(withoutTiming(ex::matrixText(merged)), withoutTiming(ex::matrixText(whole)));
  EXPECT_EQ(withoutTiming(ex::matrixJson(merged)).dump(2), withoutTiming(ex::matrixJson(whole)).dump(2));
  EXPECT_DOUBLE_EQ(merged.seconds,
                   shards[0].seconds + shards[1].seconds + shards[2].seconds + shards[3].seconds);
}

TEST(Shards, FourSweepShardsMergedAreTheOneSweep) {
  sim::Board board = sim::referenceBoard();
  auto run = [&](ex::Shard shard) {
    ex::SweepOptions options;
    options.driverImage = kImage;
    options.only = {"LocateProtocol"};
    options.pairs = {"CloseEvent"};
    options.pairLimit = 3;
    options.jobs = 2;
    options.shard = shard;
    return ex::runSweep(board, options);
  };
  ex::SweepResult whole = run({});
  ASSERT_GE(whole.boots.size(), 8u);
  std::vector<ex::SweepResult> shards = shardsOf<ex::SweepResult>(4, run, ex::sweepJson, ex::sweepFromJson);
  ex::SweepResult merged = ex::mergeSweep(shards, {"3", "2", "1", "0"});
  EXPECT_EQ(ex::sweepText(merged), ex::sweepText(whole));
  EXPECT_EQ(ex::sweepJson(merged).dump(2), ex::sweepJson(whole).dump(2));
}

TEST(Shards, ThePlanDigestTellsRunsApart) {
  ex::Matrix matrix = ex::parseMatrixToml(kMatrix, "shards.toml");
  std::string same = ex::matrixPlanDigest(matrix, {0, 1, 2});
  EXPECT_EQ(ex::matrixPlanDigest(ex::parseMatrixToml(kMatrix, "elsewhere/shards.toml"), {0, 1, 2}), same)
      << "where the file lies is no part of the run";
  ex::Matrix relabelled = matrix;
  relabelled.axes[0].labels[0] = "old";
  EXPECT_NE(ex::matrixPlanDigest(relabelled, {0, 1, 2}), same);
  EXPECT_NE(ex::matrixPlanDigest(matrix, {0, 1}), same);
  EXPECT_NE(ex::matrixPlanDigest(matrix, {0, 1, 3}), same);
}

// Every service a boot of the reference board calls is one a sweep
// accepts by name, so the list cannot fall behind the core.
TEST(ServiceNames, EveryServiceABootCallsIsKnown) {
  sim::Board board = sim::referenceBoard();
  ex::SweepOptions options;
  options.driverImage = kImage;
  options.only = {"Stall"}; // the unfailed boot is what counts here
  ex::SweepResult result = ex::runSweep(board, options);
  ASSERT_GT(result.calls.size(), 20u);
  for (const ex::SweepCall &call : result.calls) {
    EXPECT_TRUE(ex::isServiceName(call.service)) << call.service;
  }
}

TEST(ServiceNames, AMistypedNameFindsTheNearest) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"AllocPool", "AllocatePool"}, {"locateprotocol", "LocateProtocol"},
      {"PCD.Set9", "PCD.Set8"},      {"VroSata.GetPortLst", "VroSata.GetPortList"},
      {"Xyzzy", std::nullopt},       {"", std::nullopt},
  };
  for (const auto &[typed, meant] : cases) {
    EXPECT_EQ(sim::closestName(typed, ex::serviceNames()), meant) << typed;
  }
}

} // namespace
