// SPDX-License-Identifier: BSD-2-Clause-Patent
// The driver's Edges image: boots read back the code they ran, each boot's
// table starting empty, and boards that take different paths differ.
#include "BootHarness.h"

#include "Images/ImageLoader.h"
#include "Images/Symbols.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>

namespace {

const std::string kEdgesImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxeEdges.so";

std::vector<uint32_t> bootEdges(const std::string &board, const std::string &image = kEdgesImage) {
  sim::Simulation simulation(sim::loadBoardFile(std::string(KESH_SOURCE_DIR) + "/boards/" + board), image);
  simulation.run();
  EXPECT_EQ(simulation.driverEdgesLost(), 0u);
  return simulation.driverEdges();
}

// The functions of the image that hold these offsets ("" where none does).
std::set<std::string> functionsAt(const std::vector<uint32_t> &offsets) {
  std::set<std::string> out;
  for (uint32_t offset : offsets) {
    out.insert(sim::functionName(reinterpret_cast<const void *>(uintptr_t{offset}), 0, kEdgesImage));
  }
  return out;
}

// USB ports all off takes the policy's early return, which the reference
// board's settings never reach; every edge lies in a function of the image.
// A boot after another that ran other code reads only its own: the loader
// gave the image back its empty table. The ordinary image has none.
TEST(EdgesImage, BoardsOnDifferentPathsReachDifferentCodeEachBootItsOwn) {
  std::vector<uint32_t> reference = bootEdges("reference.toml");
  std::vector<uint32_t> allOff = bootEdges("unknown-id-all-off.toml");
  ASSERT_FALSE(reference.empty());
  ASSERT_FALSE(allOff.empty());
  std::vector<uint32_t> difference;
  std::set_difference(allOff.begin(), allOff.end(), reference.begin(), reference.end(),
                      std::back_inserter(difference));
  std::set<std::string> allOffOnly = functionsAt(difference);
  EXPECT_TRUE(allOffOnly.contains("PlatformUsbPolicy") || allOffOnly.contains("OrvexPlatformUsbDisable"))
      << testing::PrintToString(allOffOnly);
  EXPECT_FALSE(functionsAt(reference).contains(""));
  EXPECT_FALSE(functionsAt(allOff).contains(""));
  EXPECT_EQ(bootEdges("reference.toml"), reference);
  // Only the Edges build has a table.
  EXPECT_TRUE(sim::hasEdgeTable(kEdgesImage));
  EXPECT_FALSE(sim::hasEdgeTable(boot::kImage));
  EXPECT_TRUE(bootEdges("reference.toml", boot::kImage).empty());
}

} // namespace
