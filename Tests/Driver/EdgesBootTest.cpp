// SPDX-License-Identifier: BSD-2-Clause-Patent
// The driver's Edges image: boots read back the code they ran, each boot's
// table starting empty, and boards that take different paths differ.
#include "BootHarness.h"

#include "Images/ImageLoader.h"
#include "Images/Symbols.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <set>

namespace {

const std::string kEdgesImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxeEdges.so";
const std::string kBoards = std::string(KESH_SOURCE_DIR) + "/boards/";

struct EdgesBoot {
  std::vector<uint32_t> edges;
  uint64_t lost;
};

EdgesBoot bootEdges(const std::string &board, const std::string &image = kEdgesImage) {
  sim::Simulation simulation(sim::loadBoardFile(kBoards + board), image);
  simulation.run();
  return {simulation.driverEdges(), simulation.driverEdgesLost()};
}

std::vector<uint32_t> onlyIn(const std::vector<uint32_t> &a, const std::vector<uint32_t> &b) {
  std::vector<uint32_t> out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

// The functions of the image that hold these offsets.
std::set<std::string> functionsAt(const std::vector<uint32_t> &offsets) {
  std::set<std::string> out;
  for (uint32_t offset : offsets) {
    // Names come from the file at any base: 0 makes the offset the address.
    out.insert(sim::functionName(reinterpret_cast<const void *>(uintptr_t{offset}), 0, kEdgesImage));
  }
  return out;
}

TEST(EdgesImage, OnlyTheEdgesBuildHasAnEdgeTable) {
  EXPECT_TRUE(sim::hasEdgeTable(kEdgesImage));
  EXPECT_FALSE(sim::hasEdgeTable(boot::kImage));
  EXPECT_TRUE(bootEdges("reference.toml", boot::kImage).edges.empty());
}

// USB ports all off takes the policy's early return, which the reference
// board's settings never reach; and every edge lies in the image's code.
TEST(EdgesImage, BoardsOnDifferentPathsReachDifferentCode) {
  EdgesBoot reference = bootEdges("reference.toml");
  EdgesBoot allOff = bootEdges("unknown-id-all-off.toml");
  ASSERT_FALSE(reference.edges.empty());
  ASSERT_FALSE(allOff.edges.empty());
  EXPECT_EQ(reference.lost, 0u);
  EXPECT_EQ(allOff.lost, 0u);
  EXPECT_TRUE(std::is_sorted(reference.edges.begin(), reference.edges.end()));
  EXPECT_EQ(std::adjacent_find(reference.edges.begin(), reference.edges.end()), reference.edges.end());

  std::vector<uint32_t> allOffOnly = onlyIn(allOff.edges, reference.edges);
  ASSERT_FALSE(allOffOnly.empty());
  std::set<std::string> functions = functionsAt(allOffOnly);
  EXPECT_TRUE(functions.contains("PlatformUsbPolicy") || functions.contains("OrvexPlatformUsbDisable"))
      << ::testing::PrintToString(functions);
  // Code the image does not hold would have no name.
  for (const auto &edges : {reference.edges, allOff.edges}) {
    EXPECT_LT(edges.back(), std::filesystem::file_size(kEdgesImage));
    std::vector<uint32_t> unnamed;
    std::copy_if(edges.begin(), edges.end(), std::back_inserter(unnamed),
                 [](uint32_t offset) { return functionsAt({offset}).contains(""); });
    EXPECT_TRUE(unnamed.empty()) << ::testing::PrintToString(unnamed);
  }
}

// A loaded image serves the next load with its globals restored: a boot
// after another, on a board that runs less, reaches only its own code.
TEST(EdgesImage, EachBootStartsWithAnEmptyTable) {
  EdgesBoot first = bootEdges("reference.toml");
  EdgesBoot other = bootEdges("unknown-id-all-off.toml");
  EdgesBoot again = bootEdges("reference.toml");
  EXPECT_EQ(again.edges, first.edges);
  EXPECT_FALSE(onlyIn(other.edges, first.edges).empty());
}

} // namespace
