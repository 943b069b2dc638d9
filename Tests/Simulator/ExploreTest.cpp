// SPDX-License-Identifier: BSD-2-Clause-Patent
// The exploration engines: board values a matrix applies, the boards it
// generates, the isolation of boots in child processes, the invariants of
// the default judge and boots on several threads at once.
#include "ScratchDir.h"
#include "Boot/Checks.h"
#include "Boot/FailureModel.h"
#include "Explore/Isolation.h"
#include "Explore/Judge.h"
#include "Explore/Matrix.h"
#include "Explore/Sweep.h"

#include <gtest/gtest.h>

#include <PlatformProtocols.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

namespace {

namespace ex = sim::explore;

const std::string kImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";
const std::string kBoards = std::string(KESH_SOURCE_DIR) + "/boards";

// A matrix over the reference board.
std::string matrixText(const std::string &axes, const std::string &base = kBoards + "/reference.toml") {
  return "[matrix]\nname = \"test\"\nbase = \"" + base + "\"\n" + axes;
}

TEST(MatrixBoards, AbsentRemovesAKeyAndOtherValuesReplaceOrCreateIt) {
  ScratchDir dir;
  ex::Matrix matrix = ex::parseMatrixToml(matrixText(R"(
[[axis]]
key = "platform.identity.system_id"
values = [2041, "absent"]
[[axis]]
key = "platform.nvram.values.UsbPorts"
values = ["absent", "OnlyBackPortsOn"]
[[axis]]
key = "platform.sata.port"
labels = ["none", "one"]
values = ["absent", [{ name = "SATA Port5", ahci = 5, die = 1 }]]
)"),
                                          dir.path("m.toml"));
  ASSERT_EQ(matrix.size(), 8u);
  // First axis slowest.
  EXPECT_EQ(matrix.combination(5), (std::vector<std::optional<size_t>>{1, 0, 1}));
  EXPECT_EQ(matrix.label(matrix.combination(5)), "system_id=absent, UsbPorts=absent, port=one");

  sim::Board present = sim::parseBoardToml(matrix.boardToml(matrix.combination(3)), "case 3");
  ASSERT_TRUE(present.identity && present.nvram && present.sata);
  EXPECT_EQ(present.identity->systemId, 2041);
  EXPECT_EQ(present.nvram->values.at(u"UsbPorts"), u"OnlyBackPortsOn");
  ASSERT_EQ(present.sata->ports.size(), 1u);
  EXPECT_EQ(*present.sata->ports[0].name, u"SATA Port5");
  EXPECT_EQ(present.sata->ports[0].ahciPort, 5);
  EXPECT_EQ(present.sata->ports[0].die, 1);
  EXPECT_EQ(present.name, "test: system_id=2041, UsbPorts=OnlyBackPortsOn, port=one");

  sim::Board absent = sim::parseBoardToml(matrix.boardToml(matrix.combination(4)), "case 4");
  ASSERT_TRUE(absent.identity && absent.nvram && absent.sata);
  EXPECT_EQ(absent.identity->systemId, sim::IdentityConfig{}.systemId) << "the default once the key is gone";
  EXPECT_EQ(absent.nvram->values.count(u"UsbPorts"), 0u);
  EXPECT_TRUE(absent.sata->ports.empty()) << "the base's three ports are gone with the key";
  // Everything else is the base board's.
  sim::Board reference = sim::loadBoardFile(kBoards + "/reference.toml");
  EXPECT_EQ(absent.dies.size(), reference.dies.size());
  EXPECT_EQ(absent.pcd.size(), reference.pcd.size());
  EXPECT_EQ(absent.timeline, reference.timeline);
}

TEST(MatrixBoards, ApplyingValuesThroughTheTablePath) {
  toml::table board = toml::parse("[a]\nb = 1\nc = \"x\"\n");
  toml::value<int64_t> two(2);
  ex::applyBoardValue(board, "a.b", &two);
  ex::applyBoardValue(board, "d.e.f", &two);
  ex::applyBoardValue(board, "a.c", nullptr);
  ex::applyBoardValue(board, "g.h", nullptr); // nothing there: nothing to do
  EXPECT_EQ(board["a"]["b"].value<int64_t>(), 2);
  EXPECT_EQ(board["d"]["e"]["f"].value<int64_t>(), 2);
  EXPECT_FALSE(board["a"]["c"]);
  EXPECT_FALSE(board["g"]);
  EXPECT_THROW(ex::applyBoardValue(board, "a.b.c", &two), ex::MatrixError) << "a.b is a value, not a table";
}

TEST(MatrixBoards, ValueTablesMergeAndAppendingAxesAdd) {
  ScratchDir dir;
  ex::Matrix matrix = ex::parseMatrixToml(matrixText(R"(
[[axis]]
key = "gcd"
name = "acpi"
append = true
labels = ["none", "mmio"]
values = [[], [{ base = 0xFED80000, length = 0x1000, type = "mmio" }]]
[[axis]]
key = "gcd"
name = "extra"
append = true
labels = ["reserved"]
values = [[{ base = 0x100000000, length = 0x1000, type = "reserved" }]]
[[axis]]
name = "identity"
[[axis.value]]
label = "pwd only"
platform = { identity = { pwd = 1 } }
[[axis.value]]
label = "no identity, level HOB"
platform = { identity = "absent" }
hob = [{ level = 0x42 }]
)"),
                                          dir.path("m.toml"));
  ASSERT_EQ(matrix.size(), 4u);
  sim::Board reference = sim::loadBoardFile(kBoards + "/reference.toml");
  sim::Board both = sim::parseBoardToml(matrix.boardToml({1, 0, 0}), "both");
  ASSERT_EQ(both.gcd.size(), reference.gcd.size() + 2) << "each axis adds its range to the base's";
  EXPECT_EQ(both.gcd[both.gcd.size() - 2].base, 0xFED80000u);
  EXPECT_EQ(both.gcd.back().base, 0x100000000u);
  ASSERT_TRUE(both.identity);
  EXPECT_EQ(both.identity->states.at(8), 1);
  EXPECT_EQ(both.identity->systemId, reference.identity->systemId) << "a merged table keeps the base's keys";
  EXPECT_EQ(both.name, "test: acpi=mmio, extra=reserved, identity=pwd only");

  sim::Board none = sim::parseBoardToml(matrix.boardToml({0, 0, 1}), "none");
  EXPECT_EQ(none.gcd.size(), reference.gcd.size() + 1) << "an empty array adds nothing";
  EXPECT_FALSE(none.identity);
  ASSERT_EQ(none.hobs.size(), 1u);
  EXPECT_EQ(none.hobs[0].data, (std::vector<uint8_t>{0x42, 0, 0, 0}));
}

TEST(MatrixBoards, ABaseThatExtendsAnotherStillReadsFromAnywhere) {
  ScratchDir dir;
  ex::Matrix matrix = ex::parseMatrixToml(
      matrixText("[[axis]]\nkey = \"s3.resume\"\nvalues = [false]\n", kBoards + "/s3-resume.toml"),
      dir.path("m.toml"));
  std::string text = matrix.boardToml(matrix.combination(0));
  EXPECT_NE(text.find(kBoards + "/reference.toml"), std::string::npos) << text;
  std::string written = dir.file("elsewhere.toml", text);
  sim::Board board = sim::loadBoardFile(written);
  EXPECT_FALSE(board.s3.resume);
  EXPECT_EQ(board.s3.lose.size(), 2u) << "s3-resume.toml's own keys stay";
  EXPECT_EQ(board.dies.size(), 4u) << "and the reference board's under them";
}

TEST(MatrixBoards, CasesPickValuesByTextOrLabelAndKeepTheRest) {
  ScratchDir dir;
  ex::Matrix matrix = ex::parseMatrixToml(matrixText(R"(
[[axis]]
key = "platform.identity.pwd"
values = [0, 1]
[[axis]]
key = "platform.sata.mode"
labels = ["plain", "raid"]
values = [0, 1]
[[case]]
"platform.identity.pwd" = 1
[[case]]
"platform.sata.mode" = "raid"
"platform.identity.pwd" = 0
)"),
                                          dir.path("m.toml"));
  ASSERT_EQ(matrix.size(), 2u);
  EXPECT_EQ(matrix.combination(0), (std::vector<std::optional<size_t>>{1, std::nullopt}));
  EXPECT_EQ(matrix.combination(1), (std::vector<std::optional<size_t>>{0, 1}));
}

TEST(MatrixBoards, MistakesNameTheFileAndLine) {
  auto error = [](const std::string &text) {
    try {
      ex::parseMatrixToml(text, "m.toml");
    } catch (const ex::MatrixError &e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(error(matrixText("[[axis]]\nkey = \"a.b\"\nvalues = []\n")),
            "m.toml:6: axis 'a.b': 'values' must be a non-empty array");
  EXPECT_EQ(error(matrixText("[[axis]]\nkey = \"a\"\nvalues = [1]\nlabel = [\"x\"]\n")),
            "m.toml:7: key 'axis.label': is not an axis setting (name, key, values, labels, value, append)");
  EXPECT_EQ(error(matrixText("[[axis]]\nkey = \"a\"\n[[axis.value]]\nb = 1\n")),
            "m.toml:6: an axis gives either 'key' and 'values' or [[axis.value]] tables");
  EXPECT_EQ(error(matrixText("[[axis]]\n[[axis.value]]\nb = 1\n")),
            "m.toml:4: key 'axis.name': an axis of [[axis.value]] tables needs a name");
  EXPECT_EQ(error(matrixText("[[axis]]\nname = \"n\"\n[[axis.value]]\nlabel = 1\n")),
            "m.toml: axis 'n': 'label' must be a string");
  EXPECT_EQ(error(matrixText("[[axis]]\nkey = \"a\"\nvalues = [1]\nappend = 1\n")),
            "m.toml:7: key 'axis.append': must be true or false");
  EXPECT_EQ(error(matrixText(
                "[[axis]]\nkey = \"a\"\nvalues = [1]\n[[axis]]\nname = \"a\"\nkey = \"b\"\nvalues = [1]\n")),
            "m.toml:8: axis 'a' is given twice");
  EXPECT_EQ(error(matrixText("[[axis]]\nkey = \"a\"\nvalues = [1, 2]\nlabels = [\"x\"]\n")),
            "m.toml:7: axis 'a': 'labels' must be one string per value");
  EXPECT_EQ(error(matrixText("[[axis]]\nkey = \"a\"\nvalues = [1]\n[[case]]\na = 3\n")),
            "m.toml:8: case: 3 is not a value of axis 'a'");
  EXPECT_EQ(
      error("[matrix]\nbase = \"/nonexistent/board.toml\"\n"),
      "m.toml:2: key 'matrix.base': /nonexistent/board.toml: cannot be read: No such file or directory");
  EXPECT_EQ(
      error("[matrix]\nbase = \"/nonexistent/a\\tb.toml\"\n"),
      "m.toml:2: key 'matrix.base': /nonexistent/a\\x09b.toml: cannot be read: No such file or directory")
      << "a control character in the path stays visible: the message is one line";
  EXPECT_EQ(error(matrixText("")), "m.toml: at least one [[axis]] with 'key' and 'values' is required");
  // A base that is no board is the board reader's error.
  ScratchDir dir;
  std::string bad = dir.file("bad.toml", "[firmware]\nruntime_service = true\n");
  EXPECT_THROW(ex::parseMatrixToml(matrixText("", bad), "m.toml"), sim::BoardError);
}

TEST(Isolation, CrashesSanitizerReportsAndHangsAreTold) {
  std::map<size_t, ex::IsolatedResult> results;
  ex::runIsolated(
      5,
      [](size_t index) -> std::string {
        switch (index) {
        case 0:
          return "fine";
        case 1:
          std::raise(SIGSEGV);
          return "";
        case 2:
          std::fputs("==1==ERROR: AddressSanitizer: heap-use-after-free on address 0x1\n"
                     "SUMMARY: AddressSanitizer: heap-use-after-free here\n",
                     stderr);
          std::fflush(stderr);
          std::abort();
        case 3:
          for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
        default:
          throw std::runtime_error("no board");
        }
      },
      [&](size_t index, ex::IsolatedResult result) { results[index] = std::move(result); }, 3,
      // Long enough for a sanitizer to symbolize its report on a busy machine.
      std::chrono::milliseconds(4000));
  ASSERT_EQ(results.size(), 5u);
  EXPECT_EQ(results[0].kind, ex::IsolatedResult::Kind::Ok);
  EXPECT_EQ(results[0].result, "fine");
  // Under AddressSanitizer the segmentation fault comes with its report.
  if (results[1].kind == ex::IsolatedResult::Kind::Sanitizer) {
    EXPECT_NE(results[1].detail.find("SEGV"), std::string::npos) << results[1].detail;
  } else {
    EXPECT_EQ(results[1].kind, ex::IsolatedResult::Kind::Crash);
    EXPECT_NE(results[1].detail.find("signal 11"), std::string::npos) << results[1].detail;
  }
  EXPECT_EQ(results[2].kind, ex::IsolatedResult::Kind::Sanitizer);
  EXPECT_EQ(results[2].detail, "SUMMARY: AddressSanitizer: heap-use-after-free here");
  EXPECT_EQ(results[3].kind, ex::IsolatedResult::Kind::Hang);
  EXPECT_EQ(results[4].kind, ex::IsolatedResult::Kind::Crash);
  EXPECT_NE(results[4].detail.find("no board"), std::string::npos) << results[4].detail;
}

const sim::CheckResult *verdict(const std::vector<sim::CheckResult> &verdicts, const std::string &check) {
  for (const sim::CheckResult &v : verdicts) {
    if (v.name == check) {
      return &v;
    }
  }
  return nullptr;
}

TEST(Registry, TheReferenceBoardKeepsWhatEveryBootKeeps) {
  sim::Simulation simulation(sim::referenceBoard(), kImage);
  simulation.run();
  const auto &verdicts = simulation.record().checks;
  EXPECT_FALSE(ex::violation(verdicts));
  for (const char *check :
       {"entry", "halt", "pool.leaks", "pool.misuse", "s3.handoff", "events.closed", "events.once"}) {
    ASSERT_NE(verdict(verdicts, check), nullptr) << check;
    EXPECT_EQ(verdict(verdicts, check)->verdict, sim::Verdict::Pass) << check;
  }
}

TEST(Registry, AHandOffWhoseCloseFailsRunsOnceAndFreesOnce) {
  sim::Board board = sim::loadBoardFile(kBoards + "/s3-resume.toml");
  board.failures.push_back({"CloseEvent", 4, EFI_INVALID_PARAMETER, std::nullopt});
  sim::Simulation simulation(board, kImage);
  simulation.run();
  const auto &verdicts = simulation.record().checks;
  EXPECT_EQ(verdict(verdicts, "s3.handoff")->verdict, sim::Verdict::Pass)
      << verdict(verdicts, "s3.handoff")->reason;
  EXPECT_EQ(verdict(verdicts, "pool.misuse")->verdict, sim::Verdict::Pass);
  EXPECT_EQ(verdict(verdicts, "failure-path")->verdict, sim::Verdict::Pass)
      << verdict(verdicts, "failure-path")->reason;
  EXPECT_FALSE(ex::violation(verdicts));
}

// A module that hands the closed table off again, and frees a block twice:
// played by the test after the boot, and recorded again.
TEST(Registry, ASecondHandOffAndADoubleFreeFail) {
  sim::Simulation simulation(sim::loadBoardFile(kBoards + "/s3-resume.toml"), kImage);
  simulation.run();
  auto *smm = const_cast<sim::SmmCommunicationModel *>(simulation.s3().smmCommunication());
  ASSERT_NE(smm, nullptr);
  EFI_SMM_COMMUNICATION_PROTOCOL *protocol = smm->protocol();
  UINTN size = 40;
  auto *message = reinterpret_cast<VOID *>(static_cast<uintptr_t>(simulation.s3().commBuffer()));
  EXPECT_TRUE(EFI_ERROR(protocol->Communicate(protocol, message, &size)));
  EFI_BOOT_SERVICES *bs = simulation.core().systemTable()->BootServices;
  VOID *block = nullptr;
  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 32, &block), EFI_SUCCESS);
  EXPECT_EQ(bs->FreePool(block), EFI_SUCCESS);
  bs->FreePool(block);
  simulation.core().checkFreedPool();

  sim::BootRecord again = sim::recordBoot(simulation);
  sim::CheckResult handOff = sim::runCheck(again, "s3.handoff");
  EXPECT_EQ(handOff.verdict, sim::Verdict::Fail);
  EXPECT_EQ(handOff.reason, "handed off 2 times");
  sim::CheckResult misuse = sim::runCheck(again, "pool.misuse");
  EXPECT_EQ(misuse.verdict, sim::Verdict::Fail);
  EXPECT_NE(misuse.reason.find("double free"), std::string::npos) << misuse.reason;
}

TEST(Registry, AHaltAndAFailedEntryFail) {
  sim::Board board = sim::referenceBoard();
  board.timeBudgetMs = 1; // the console alone takes longer
  sim::Simulation halted(board, kImage);
  halted.run();
  const auto &verdicts = halted.record().checks;
  EXPECT_EQ(verdict(verdicts, "halt")->verdict, sim::Verdict::Fail);
  EXPECT_EQ(verdict(verdicts, "entry")->verdict, sim::Verdict::Fail) << "halted inside the entry";
}

TEST(Effects, TheChangesBetweenTwoBootsAreNamed) {
  // One boot at a time in a thread.
  auto effectsOf = [](const sim::Board &board) {
    sim::Simulation simulation(board, kImage);
    simulation.run();
    return ex::captureEffects(simulation.record());
  };
  sim::Board board = sim::referenceBoard();
  board.identity->states[8] = 1; // PWD inserted
  auto before = effectsOf(board);
  board.failures.push_back({"LocateProtocol", 0, EFI_NOT_FOUND, gVroPlatformIdProtocolGuid});
  auto after = effectsOf(board);
  auto changes = ex::describeChanges(before, after);
  ASSERT_FALSE(changes.empty());
  EXPECT_EQ(changes[0],
            "spi: locked, opcodes 0x02D82001 0x0060C706, write buffer on -> protected, write buffer on");
  EXPECT_TRUE(ex::describeChanges(before, before).empty());
  EXPECT_EQ(ex::effectsFromJson(ex::toJson(after)), after);
}

TEST(Threads, BootsOnSeveralThreadsMatchOneBootAlone) {
  sim::Board board = sim::loadBoardFile(kBoards + "/redundant-os-sata.toml");
  std::string aloneConsole;
  ex::BootEffects aloneEffects;
  {
    sim::Simulation alone(board, kImage);
    alone.run();
    aloneConsole = alone.console().bytes();
    aloneEffects = ex::captureEffects(alone.record());
  }
  ASSERT_NE(aloneEffects.fields.size(), 0u);
  std::vector<std::string> consoles(4);
  std::vector<ex::BootEffects> effects(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < consoles.size(); i++) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 3; round++) {
        sim::Simulation simulation(board, kImage);
        simulation.run();
        consoles[i] = simulation.console().bytes();
        effects[i] = ex::captureEffects(simulation.record());
      }
    });
  }
  for (std::thread &thread : threads) {
    thread.join();
  }
  for (size_t i = 0; i < consoles.size(); i++) {
    EXPECT_EQ(consoles[i], aloneConsole) << i;
    EXPECT_EQ(effects[i], aloneEffects) << i;
  }
}

// The sweep judges every boot with the whole registry; an injected failure
// decides only the checks its documented path names.
TEST(Sweep, EveryBootIsJudgedByTheWholeRegistry) {
  sim::Board board = sim::referenceBoard();
  board.identity->states[8] = 1; // PWD inserted: the SPI controller is locked
  ex::SweepOptions options;
  options.driverImage = kImage;
  options.only = {"LocateProtocol"};
  options.jobs = 2;
  ex::SweepResult result = ex::runSweep(board, options);
  EXPECT_FALSE(result.baseline.violation());
  EXPECT_EQ(result.baseline.verdicts.size(), sim::checkNames().size());
  EXPECT_EQ(verdict(result.baseline.verdicts, "spi.lock")->verdict, sim::Verdict::Pass);

  size_t identityLocates = 0;
  for (const ex::SweepBoot &boot : result.boots) {
    ASSERT_EQ(boot.failed.size(), 1u);
    EXPECT_EQ(boot.verdicts.size(), sim::checkNames().size());
    const sim::CheckResult *path = verdict(boot.verdicts, "failure-path");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(path->verdict, sim::Verdict::Pass) << path->reason;
    bool identity = boot.failed[0].guid && sim::sameGuid(*boot.failed[0].guid, gVroPlatformIdProtocolGuid);
    if (identity && boot.failed[0].context == "KeshOnEndOfDxe" && identityLocates++ == 0) {
      // The SPI lock's own locate: the lock is no longer due.
      EXPECT_NE(path->reason.find("ActivateSpiProtectLock: the identity protocol"), std::string::npos)
          << path->reason;
      EXPECT_EQ(verdict(boot.verdicts, "spi.lock")->verdict, sim::Verdict::NotApplicable);
      EXPECT_NE(
          std::find(
              boot.changes.begin(), boot.changes.end(),
              "spi: locked, opcodes 0x02D82001 0x0060C706, write buffer on -> protected, write buffer on"),
          boot.changes.end());
    } else {
      EXPECT_EQ(verdict(boot.verdicts, "spi.lock")->verdict, sim::Verdict::Pass) << boot.failed[0].call;
    }
  }
  EXPECT_EQ(identityLocates, 3u) << "SPI lock, USB policy and SATA each locate the identity protocol";
  EXPECT_EQ(result.violations(), 0u);
}

// Each silent path names the exact call: a call of the same service in
// another routine, or another of the routine's calls, is not excused.
TEST(Sweep, SilentPathsNameTheExactCall) {
  auto hit = [](std::string service, std::string function, unsigned occurrence,
                std::optional<EFI_GUID> guid = std::nullopt) {
    sim::FailureHitRecord h;
    h.service = std::move(service);
    h.image = "KeshInitDxe";
    h.function = std::move(function);
    h.occurrence = occurrence;
    h.guid = guid;
    return h;
  };
  struct Case {
    sim::FailureHitRecord hit;
    bool excused;
  } cases[] = {
      {hit("LocateProtocol", "KeshOnEndOfDxe", 1, gVroSataProtocolGuid), true},
      {hit("LocateProtocol", "KeshOnEndOfDxe", 1), false},
      {hit("AllocatePool", "entry", 1), false},
      {hit("PCD.Set64", "KeshOnEndOfDxe", 1), true},
      {hit("PCD.Set8", "entry", 1), false},
      {hit("GetMemorySpaceDescriptor", "KeshOnPciEnumComplete", 2), true},
      {hit("GetMemorySpaceDescriptor", "KeshOnPciEnumComplete", 1), false},
      {hit("GetMemorySpaceDescriptor", "KeshOnPciEnumComplete", 3), false},
      {hit("GetMemorySpaceDescriptor", "KeshOnEndOfDxe", 1), true},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(sim::findSilentPath(c.hit) != nullptr, c.excused)
        << c.hit.service << " " << c.hit.function << " " << c.hit.occurrence;
  }
  for (const sim::SilentPath &path : sim::silentPaths()) {
    EXPECT_FALSE(path.step.empty() || path.consequence.empty()) << path.service;
    for (std::string_view check : path.decides) {
      EXPECT_NO_THROW(sim::checkInfo(check)) << path.service;
    }
  }
  EXPECT_EQ(ex::defaultFailureStatus("AllocatePool"), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(ex::defaultFailureStatus("LocateProtocol"), EFI_NOT_FOUND);
}

} // namespace
