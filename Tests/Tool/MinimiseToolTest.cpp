// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim matrix --minimise: the boards it writes reach all the driver code
// every combination of the matrix reaches, booted here on their own.
#include "ScratchDir.h"
#include "ToolRun.h"

#include "Board/Board.h"
#include "Boot/Boot.h"
#include "Explore/Matrix.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <set>

namespace {

const std::string kSource = KESH_SOURCE_DIR;
const std::string kEdgesImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxeEdges.so";

void addEdges(std::set<uint32_t> &all, const sim::Board &board) {
  sim::Simulation simulation(board, kEdgesImage);
  simulation.run();
  all.insert(simulation.driverEdges().begin(), simulation.driverEdges().end());
}

TEST(MinimiseTool, KeptBoardsReachWhatTheWholeMatrixReaches) {
  ScratchDir dir("kesh-minimise");
  std::string spec = dir.file("m.toml", "[matrix]\nname = \"usb\"\nbase = \"" + kSource +
                                            "/boards/reference.toml\"\n"
                                            "[[axis]]\nkey = \"platform.identity.system_id\"\n"
                                            "values = [2039, 2041, 0x1234]\n"
                                            "[[axis]]\nkey = \"platform.nvram.values.UsbPorts\"\n"
                                            "values = [\"absent\", \"AllOff\", \"OnlyBackPortsOn\"]\n");
  std::string out = dir.path("kept");
  ToolRun run =
      dxesim("matrix " + spec + " --minimise --out " + out + " --json - --quiet --jobs 2", " 2>/dev/null");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  nlohmann::json result = nlohmann::json::parse(run.output);
  EXPECT_EQ(result.at("booted"), 9);
  size_t kept = result.at("kept").size();
  EXPECT_GE(kept, 2u) << "the policy takes different paths on these boards";
  EXPECT_LT(kept, 9u);

  // Exactly the kept combinations, as boards named by their ids.
  std::set<std::string> files, wanted;
  for (const auto &entry : std::filesystem::directory_iterator(out)) {
    files.insert(entry.path().filename().string());
  }
  for (const auto &combination : result.at("kept")) {
    wanted.insert("case-" + std::to_string(combination.at("id").get<size_t>()) + ".toml");
  }
  EXPECT_EQ(files, wanted);

  std::set<uint32_t> whole, reached;
  sim::explore::Matrix matrix = sim::explore::loadMatrixFile(spec);
  for (size_t id = 0; id < matrix.size(); id++) {
    addEdges(whole, sim::parseBoardToml(matrix.boardToml(matrix.combination(id)), "combination"));
  }
  for (const std::string &file : files) {
    addEdges(reached, sim::loadBoardFile(out + "/" + file));
  }
  EXPECT_FALSE(whole.empty());
  EXPECT_EQ(reached, whole);
  EXPECT_EQ(result.at("edges"), whole.size());
}

TEST(MinimiseTool, AnImageWithoutEdgesIsNamedWithWhatToBuild) {
  ScratchDir dir("kesh-minimise");
  std::string spec = dir.file("m.toml", "[matrix]\nbase = \"" + kSource +
                                            "/boards/reference.toml\"\n"
                                            "[[axis]]\nkey = \"platform.identity.pwd\"\nvalues = [0, 1]\n");
  std::string image = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";
  ToolRun run = dxesim("matrix " + spec + " --minimise --quiet --image " + image);
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find(image + " has no edge table"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("KeshInitDxeEdges"), std::string::npos) << run.output;
}

} // namespace
