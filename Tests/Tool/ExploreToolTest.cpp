// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim sweep and dxesim matrix as a user runs them.
#include "ScratchDir.h"
#include "ToolRun.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

namespace {

const std::string kSource = KESH_SOURCE_DIR;

nlohmann::json parseJson(const std::string &text) {
  auto json = nlohmann::json::parse(text, nullptr, false);
  EXPECT_FALSE(json.is_discarded()) << text.substr(0, 2000);
  return json;
}

const nlohmann::json *bootFailing(const nlohmann::json &sweep, const std::string &service, unsigned call) {
  for (const auto &boot : sweep.at("boots")) {
    const auto &failed = boot.at("failed");
    if (failed.size() == 1 && failed[0].at("service") == service && failed[0].at("call") == call) {
      return &boot;
    }
  }
  return nullptr;
}

std::string verdictOf(const nlohmann::json &boot, const std::string &check) {
  for (const auto &verdict : boot.at("verdicts")) {
    if (verdict.at("check") == check) {
      return verdict.at("verdict").get<std::string>() + ": " + verdict.at("reason").get<std::string>();
    }
  }
  return "none";
}

TEST(SweepTool, TheHandOffWhoseCloseEventFailsStillRunsOnce) {
  ToolRun run = dxesim("sweep " + kSource + "/boards/s3-resume.toml --only CloseEvent --quiet --json -");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  nlohmann::json sweep = parseJson(run.output);
  EXPECT_EQ(sweep.at("baseline").at("violation"), false);
  EXPECT_EQ(sweep.at("boots").size(), 5u) << "one boot per CloseEvent call";
  EXPECT_EQ(sweep.at("violations"), 0);

  const nlohmann::json *handOff = bootFailing(sweep, "CloseEvent", 4);
  ASSERT_NE(handOff, nullptr);
  EXPECT_EQ(handOff->at("failed")[0].at("context"), "OrunS3SaveCloseTableCallBack");
  EXPECT_EQ(handOff->at("failed")[0].at("image"), "KeshInitDxe");
  EXPECT_EQ(handOff->at("failed")[0].at("status"), "Invalid Parameter");
  EXPECT_EQ(handOff->at("violation"), false) << handOff->dump(2);
  EXPECT_EQ(verdictOf(*handOff, "s3.handoff").rfind("pass", 0), 0u) << verdictOf(*handOff, "s3.handoff");
  EXPECT_EQ(verdictOf(*handOff, "pool.misuse").rfind("pass", 0), 0u) << verdictOf(*handOff, "pool.misuse");
  EXPECT_EQ(verdictOf(*handOff, "pool.leaks").rfind("pass", 0), 0u) << verdictOf(*handOff, "pool.leaks");
  // The others close events whose notify functions run once anyway, or
  // whose second run only prints.
  for (unsigned call : {1u, 2u, 3u, 5u}) {
    const nlohmann::json *boot = bootFailing(sweep, "CloseEvent", call);
    ASSERT_NE(boot, nullptr) << call;
    EXPECT_EQ(boot->at("violation"), false) << call << boot->dump(2);
  }
}

TEST(SweepTool, TableNamesEveryCallAndTheTotals) {
  ToolRun run = dxesim("sweep " + kSource + "/boards/s3-resume.toml --only CloseEvent,AllocatePool --quiet");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("== Failure sweep of Kesh reference board, S3 resume"), std::string::npos);
  size_t handOff =
      run.output.find("CloseEvent                            4  KeshInitDxe  OrunS3SaveCloseTableCallBack   "
                      "-      Invalid Parameter    ");
  ASSERT_NE(handOff, std::string::npos) << run.output;
  // The verdict column, after the status's 20 characters.
  EXPECT_EQ(run.output.substr(handOff + 113, 5), "pass\n") << run.output.substr(handOff, 120);
  // A failed allocation of the S3 table shows as its assertion and a lost replay.
  EXPECT_NE(run.output.find("changed: assertion added: Library/OrunS3SaveLib/S3Save/OrunS3SaveLib.cpp"),
            std::string::npos);
  EXPECT_NE(run.output.find("-- totals: 7 boots"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("0 violation(s)"), std::string::npos) << run.output;
}

TEST(SweepTool, PairsAndChosenStatuses) {
  ToolRun run = dxesim(
      "sweep --only GetVariable --pairs CloseEvent --pair-limit 3 --status CloseEvent=EFI_DEVICE_ERROR "
      "--quiet --json -");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  nlohmann::json sweep = parseJson(run.output);
  ASSERT_EQ(sweep.at("boots").size(), 4u) << "one GetVariable call and three pairs";
  const auto &pair = sweep.at("boots")[1].at("failed");
  ASSERT_EQ(pair.size(), 2u);
  EXPECT_EQ(pair[0].at("service"), "CloseEvent");
  EXPECT_EQ(pair[0].at("call"), 1);
  EXPECT_EQ(pair[1].at("call"), 2);
  EXPECT_EQ(pair[0].at("status"), "Device Error");
}

TEST(SweepTool, BadArguments) {
  EXPECT_EQ(dxesim("sweep --status CloseEvent=Nonsense --quiet").exitCode, 64);
  ToolRun noImage = dxesim("sweep --image /nonexistent/KeshInitDxe.so --quiet");
  EXPECT_EQ(noImage.exitCode, 1) << "an error, not a finding";
  EXPECT_NE(noImage.output.find("the driver image /nonexistent/KeshInitDxe.so does not exist"),
            std::string::npos)
      << noImage.output;
  ToolRun missing = dxesim("sweep /nonexistent/board.toml");
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.output.find("/nonexistent/board.toml: cannot be read"), std::string::npos);
}

TEST(MatrixTool, FailingCombinationsBecomeBoardsThatBoot) {
  ScratchDir dir;
  std::string spec =
      dir.file("m.toml", "[matrix]\nname = \"close\"\nbase = \"" + kSource +
                             "/boards/s3-resume.toml\"\n"
                             "[[axis]]\nkey = \"fail\"\nlabels = [\"none\", \"close 99\"]\n"
                             "values = [\"absent\", [{ service = \"CloseEvent\", call = 99, status "
                             "= \"EFI_INVALID_PARAMETER\" }]]\n"
                             "[[axis]]\nkey = \"platform.identity.pwd\"\nvalues = [0, 1]\n");
  std::string out = dir.path("failing");
  ToolRun run = dxesim("matrix " + spec + " --out " + out + " --quiet --threads 2");
  EXPECT_EQ(run.exitCode, 4) << run.output;
  EXPECT_NE(run.output.find("4 of 4 combinations booted on 2 thread(s)"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("-- totals: 4 boots, 4 outcomes, 2 failing boots"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("fail board.fail-rules: never fired: rule 1 (CloseEvent call 99)"),
            std::string::npos)
      << run.output;
  ASSERT_TRUE(std::filesystem::exists(out + "/case-2.toml"));
  ASSERT_TRUE(std::filesystem::exists(out + "/case-3.toml"));
  EXPECT_FALSE(std::filesystem::exists(out + "/case-0.toml")) << "passing combinations are not written";

  // A written board is a board file like any other, wherever it lies.
  ToolRun boot = dxesim("boot " + out + "/case-3.toml");
  EXPECT_EQ(boot.exitCode, 4) << boot.output;
  EXPECT_NE(boot.output.find("== Boot of close: fail=close 99, pwd=1"), std::string::npos) << boot.output;
  EXPECT_NE(boot.output.find("FAILED   board.fail-rules         never fired: rule 1 (CloseEvent call 99)"),
            std::string::npos)
      << boot.output;
  EXPECT_NE(boot.output.find("SPI Protection is LOCKED"), std::string::npos) << "pwd = 1 came with it";
}

TEST(MatrixTool, PolicySampleRunsEndToEnd) {
  ScratchDir dir;
  ToolRun run = dxesim("matrix " + kSource + "/matrices/policy.toml --sample 60 --quiet --json " +
                       dir.root().string() + "/policy.json");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  std::ifstream in(dir.path("policy.json"));
  nlohmann::json result = nlohmann::json::parse(in);
  EXPECT_EQ(result.at("combinations"), 97200);
  EXPECT_EQ(result.at("booted"), 60);
  EXPECT_EQ(result.at("failing"), 0);
  size_t boots = 0;
  for (const auto &outcome : result.at("outcomes")) {
    boots += outcome.at("boots").get<size_t>();
    EXPECT_EQ(outcome.at("error"), "");
  }
  EXPECT_EQ(boots, 60u);
  EXPECT_GT(result.at("outcomes").size(), 5u) << "the policy tells the combinations apart";
}

TEST(MatrixTool, BadMatrixFile) {
  ScratchDir dir;
  std::string spec = dir.file("m.toml", "[matrix]\nbase = \"nowhere.toml\"\n");
  ToolRun run = dxesim("matrix " + spec);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.output.find("m.toml:2: key 'matrix.base':"), std::string::npos) << run.output;
}

} // namespace
