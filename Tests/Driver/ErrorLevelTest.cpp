// SPDX-License-Identifier: BSD-2-Clause-Patent
// The error level and the debug mask protocol. Unit cases drive the library
// inside a fresh copy of the probe module each (Tests/Firmware/
// ErrorLevelProbeDxe), so every case starts from the library's start state;
// boot cases run the driver on boards with the level's sources.
#include "Board/Board.h"
#include "Boot/Boot.h"
#include "Boot/Diagnostics.h"
#include "Dxe/DxeCore.h"
#include "Images/ImageLoader.h"
#include "Machine/Cmos.h"
#include "Machine/Machine.h"
#include "Machine/Uart16550.h"

#include "../Firmware/ErrorLevelProbeDxe/ErrorLevelProbe.h"

#include <Guid/EventGroup.h>
#include <Guid/GenericVariable.h>
#include <Guid/HobList.h>
#include <Pi/PiHob.h>
#include <Protocol/DebugMask.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::string kProbeImage = std::string(KESH_IMAGE_DIR) + "/ErrorLevelProbeDxe.so";
const std::string kDriverImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";

std::vector<uint8_t> levelBytes(uint32_t level) {
  return sim::levelHob(level).data;
}

EFI_GUID kOtherGuid = {0x1A2B3C4D, 0x0001, 0x0002, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}};

std::vector<uint8_t> rawHob(uint16_t type, uint16_t length, size_t size) {
  std::vector<uint8_t> bytes(size, 0);
  std::memcpy(bytes.data(), &type, 2);
  std::memcpy(bytes.data() + 2, &length, 2);
  return bytes;
}

// A level HOB written out by hand, with the length it claims.
std::vector<uint8_t> levelHobBytes(uint32_t level, uint16_t length) {
  std::vector<uint8_t> bytes = rawHob(EFI_HOB_TYPE_GUID_EXTENSION, length, length < 32 ? 32 : length);
  std::memcpy(bytes.data() + 8, &gEfiGenericVariableGuid, sizeof(EFI_GUID));
  std::memcpy(bytes.data() + 24, &level, 4);
  bytes.resize(length);
  return bytes;
}

class ErrorLevelTest : public ::testing::Test {
protected:
  ErrorLevelTest() {
    machine.mapIo(0x3F8, 0x3FF, &uart3F8);
    machine.mapIo(0x2F8, 0x2FF, &uart2F8);
    cmosBytes[0x7A] = 0x40;
    cmosBytes[0x7D] = 0x80;
  }

  void setCmosLevel(uint32_t level) { std::memcpy(&cmosBytes[0x7A], &level, 4); }

  // A fresh copy of the probe, started, with CMOS as cmosBytes holds it.
  ERROR_LEVEL_PROBE_PROTOCOL *load() {
    // Each copy gets its own CMOS model; the newest mapping answers.
    cmosModels.push_back(std::make_unique<sim::Cmos>(cmosBytes));
    cmos = cmosModels.back().get();
    machine.mapIo(0x70, 0x71, cmos);
    sim::LoadedImage &image = loader.load(kProbeImage, "ErrorLevelProbeDxe");
    EXPECT_EQ(loader.start(image), EFI_SUCCESS);
    handle = image.handle;
    VOID *iface = nullptr;
    EXPECT_EQ(bs->HandleProtocol(handle, &gErrorLevelProbeProtocolGuid, &iface), EFI_SUCCESS);
    probe = static_cast<ERROR_LEVEL_PROBE_PROTOCOL *>(iface);
    return probe;
  }
  EFI_STATUS construct() { return probe->Constructor(handle, core.systemTable()); }
  EFI_DEBUG_MASK_PROTOCOL *debugMask() {
    VOID *iface = nullptr;
    return bs->HandleProtocol(handle, &gEfiDebugMaskProtocolGuid, &iface) == EFI_SUCCESS
               ? static_cast<EFI_DEBUG_MASK_PROTOCOL *>(iface)
               : nullptr;
  }
  UINTN mask() {
    UINTN value = 0xDEADDEAD;
    EXPECT_EQ(debugMask()->GetDebugMask(debugMask(), &value), EFI_SUCCESS);
    return value;
  }
  void print(UINTN level, const char *text) { probe->Print(level, text); }
  std::string console() {
    uart3F8.drain();
    return uart3F8.bytes();
  }
  unsigned variableReads() { return core.failures().calls("GetVariable"); }
  // The indexes written to the CMOS index port, in order.
  std::vector<uint32_t> cmosIndexes() const {
    std::vector<uint32_t> out;
    for (const auto &e : machine.trace()) {
      if (e.kind == sim::AccessKind::IoWrite && e.address == 0x70) {
        out.push_back(static_cast<uint32_t>(e.value));
      }
    }
    return out;
  }
  void setVariable(std::vector<uint8_t> data) {
    core.setVariable(u"EFIDebug", gEfiGenericVariableGuid, data);
  }
  // Makes a hand-made list the first HOB list, in a buffer exactly its size
  // (a read past it is caught by the sanitizers). With endHob, a handoff HOB
  // goes first and names the end HOB at that offset of the HOBs after it.
  void installHobList(const std::vector<uint8_t> &hobs, std::optional<size_t> endHob) {
    std::vector<uint8_t> bytes;
    if (endHob) {
      bytes = rawHob(EFI_HOB_TYPE_HANDOFF, sizeof(EFI_HOB_HANDOFF_INFO_TABLE),
                     sizeof(EFI_HOB_HANDOFF_INFO_TABLE));
    }
    bytes.insert(bytes.end(), hobs.begin(), hobs.end());
    lists.push_back(std::make_unique<uint8_t[]>(bytes.size()));
    uint8_t *list = lists.back().get();
    std::memcpy(list, bytes.data(), bytes.size());
    if (endHob) {
      EFI_HOB_HANDOFF_INFO_TABLE handoff;
      std::memcpy(&handoff, list, sizeof(handoff));
      handoff.EfiEndOfHobList = reinterpret_cast<uintptr_t>(list + sizeof(handoff) + *endHob);
      std::memcpy(list, &handoff, sizeof(handoff));
    }
    core.installConfigurationTable(gEfiHobListGuid, list);
  }

  sim::Machine machine;
  sim::Uart16550 uart3F8{machine, 0x3F8, sim::UartConfig{.divisor = 1, .lcr = 0x03, .fcr = 0x01}};
  sim::Uart16550 uart2F8{machine, 0x2F8, sim::UartConfig{.divisor = 1, .lcr = 0x03, .fcr = 0x01}};
  sim::CmosBytes cmosBytes{};
  std::vector<std::unique_ptr<sim::Cmos>> cmosModels;
  sim::Cmos *cmos = nullptr;
  std::vector<std::unique_ptr<uint8_t[]>> lists;
  sim::DxeCore core{machine};
  EFI_BOOT_SERVICES *bs = core.systemTable()->BootServices;
  sim::ImageLoader loader{machine, core};
  EFI_HANDLE handle = nullptr;
  ERROR_LEVEL_PROBE_PROTOCOL *probe = nullptr;
};

// ---------------------------------------------------------------------------
// Sources of the level.

TEST_F(ErrorLevelTest, BeforeTheConstructorTheLevelIsZeroAndNoSourceIsRead) {
  load();
  EXPECT_EQ(probe->GetLevel(), 0u);
  print(0xFFFFFFFF, "too early\n");
  EXPECT_EQ(console(), "");
  EXPECT_EQ(cmos->totalReads(), 0u);
  EXPECT_EQ(variableReads(), 0u);
  EXPECT_EQ(debugMask(), nullptr);
}

TEST_F(ErrorLevelTest, ALevelHobSettlesTheLevelAtOnceWithNothingElseRead) {
  core.addGuidHob(gEfiGenericVariableGuid, levelBytes(0x40));
  setCmosLevel(0x80000000);
  setVariable({0xFF, 0xFF, 0xFF, 0xFF});
  load();
  EXPECT_EQ(construct(), EFI_SUCCESS);
  EXPECT_EQ(probe->GetLevel(), 0x40u);
  print(0x80000000, "error\n");
  print(0x40, "info\n");
  EXPECT_EQ(console(), "info\n");
  EXPECT_TRUE(cmosIndexes().empty());
  EXPECT_EQ(variableReads(), 0u);
  EXPECT_EQ(mask(), 0x40u);
}

TEST_F(ErrorLevelTest, WithoutALevelHobTheCmosBytesFormTheLevelOnce) {
  core.addGuidHob(kOtherGuid, levelBytes(0x40));
  load();
  construct();
  EXPECT_EQ(probe->GetLevel(), 0x80000040u);
  EXPECT_EQ(cmosIndexes(), (std::vector<uint32_t>{0x7A, 0x7B, 0x7C, 0x7D})) << "NMIs stay unmasked";
  EXPECT_EQ(variableReads(), 1u);
  print(0x80000000, "e\n");
  print(0x40, "i\n");
  EXPECT_EQ(console(), "e\ni\n");
  EXPECT_EQ(cmos->totalReads(), 4u) << "settled: later prints read nothing";
  EXPECT_EQ(variableReads(), 1u);
}

TEST_F(ErrorLevelTest, TheEFIDebugVariableIsReadOnceAndNeverBecomesTheLevel) {
  struct Case {
    std::vector<uint8_t> variable;
    uint32_t cmosLevel;
  };
  const Case cases[] = {{{0xFF, 0xFF, 0xFF, 0xFF}, 0},
                        {{0xFF, 0xFF, 0xFF, 0xFF}, 0x40},
                        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x80000000}};
  for (const Case &c : cases) {
    setCmosLevel(c.cmosLevel);
    setVariable(c.variable);
    load();
    EXPECT_EQ(construct(), EFI_SUCCESS);
    EXPECT_EQ(probe->GetLevel(), c.cmosLevel);
  }
  EXPECT_EQ(console(), "");
  EXPECT_EQ(core.failures().calls("GetVariable", gEfiGenericVariableGuid), 3u) << "once for each copy";
  // A failing read settles the level just the same.
  core.failures().add(sim::FailureRule{"GetVariable", 0, EFI_DEVICE_ERROR, std::nullopt});
  setCmosLevel(0x40);
  load();
  construct();
  print(0x40, "x");
  EXPECT_EQ(probe->GetLevel(), 0x40u);
  EXPECT_EQ(variableReads(), 4u);
}

TEST_F(ErrorLevelTest, WithoutAConfigurationTableOrRuntimeServicesTheCmosBytesStillApply) {
  core.setDxeServicesPresent(false);
  ASSERT_EQ(core.systemTable()->NumberOfTableEntries, 0u);
  load();
  construct();
  EXPECT_EQ(probe->GetLevel(), 0x80000040u);
  core.setRuntimeServicesPresent(false);
  load();
  construct();
  EXPECT_EQ(probe->GetLevel(), 0x80000040u);
  EXPECT_EQ(variableReads(), 1u) << "only the first copy had variable services";
}

TEST_F(ErrorLevelTest, WithNoSourceTheLevelStaysZeroAndNoSourceIsReadAgain) {
  setCmosLevel(0);
  load();
  construct();
  EXPECT_EQ(probe->GetLevel(), 0u);
  EXPECT_EQ(variableReads(), 1u);
  EXPECT_EQ(cmos->totalReads(), 4u);
  // CMOS changing later is not seen: the level was settled at 0.
  for (auto [index, byte] : {std::pair<uint32_t, uint32_t>{0x7A, 0x40}, {0x7D, 0x80}}) {
    machine.ioWrite(0x70, 1, index);
    machine.ioWrite(0x71, 1, byte);
  }
  for (int i = 0; i < 3; i++) {
    print(0xFFFFFFFF, "silent\n");
  }
  EXPECT_EQ(console(), "");
  EXPECT_EQ(probe->GetLevel(), 0u);
  EXPECT_EQ(variableReads(), 1u);
  EXPECT_EQ(cmos->totalReads(), 4u);
}

// The configuration table is searched over exactly its entries: the first
// one included, nothing after the last.
TEST_F(ErrorLevelTest, TheHobListIsFoundAsTheFirstEntryAndARemovedOneIsNotUsed) {
  core.setDxeServicesPresent(false);
  std::vector<uint8_t> first = sim::buildHobList({sim::levelHob(0x40)});
  sim::sealHobList(first);
  core.installConfigurationTable(gEfiHobListGuid, first.data());
  ASSERT_EQ(core.systemTable()->NumberOfTableEntries, 1u);
  setCmosLevel(0x80000000);
  load();
  construct();
  EXPECT_EQ(probe->GetLevel(), 0x40u) << "the HOB list in entry 0";

  // Removed as the last entry, its old contents stay right past the end.
  core.installConfigurationTable(gEfiHobListGuid, nullptr);
  ASSERT_EQ(core.systemTable()->NumberOfTableEntries, 0u);
  core.setDxeServicesPresent(true);
  core.installConfigurationTable(gEfiHobListGuid, first.data());
  core.installConfigurationTable(gEfiHobListGuid, nullptr);
  ASSERT_EQ(core.systemTable()->NumberOfTableEntries, 1u);
  load();
  construct();
  EXPECT_EQ(probe->GetLevel(), 0x80000000u) << "from CMOS";
}

// ---------------------------------------------------------------------------
// The TPL probe.

TEST_F(ErrorLevelTest, APrintAboveCallbackWhileUnsettledUsesTheCurrentLevelAndLeavesItUnsettled) {
  load();
  EFI_TPL old = bs->RaiseTPL(TPL_NOTIFY);
  construct();
  print(0x80000040, "at notify\n");
  EXPECT_EQ(probe->GetLevel(), 0u);
  EXPECT_EQ(mask(), 0u) << "the protocol answers the cached level, reading nothing";
  bs->RestoreTPL(old);
  EXPECT_EQ(console(), "");
  EXPECT_EQ(cmos->totalReads(), 0u);
  EXPECT_EQ(variableReads(), 0u);
  old = bs->RaiseTPL(TPL_CALLBACK);
  print(0x40, "at callback\n");
  EXPECT_EQ(core.currentTpl(), static_cast<EFI_TPL>(TPL_CALLBACK)) << "restored after the probe";
  bs->RestoreTPL(old);
  EXPECT_EQ(console(), "at callback\n");
  EXPECT_EQ(cmos->totalReads(), 4u);
  EXPECT_EQ(variableReads(), 1u);
  for (const std::string &line : core.diagnostics()) {
    EXPECT_EQ(line.find("GetVariable"), std::string::npos) << line;
  }
}

// ---------------------------------------------------------------------------
// The debug mask protocol.

TEST_F(ErrorLevelTest, TheProtocolLivesOnTheImageHandleFromConstructorToDestructor) {
  load();
  ASSERT_EQ(construct(), EFI_SUCCESS);
  ASSERT_NE(debugMask(), nullptr);
  EXPECT_EQ(debugMask()->Revision, 0x00010000);
  EXPECT_EQ(probe->Destructor(handle, core.systemTable()), EFI_SUCCESS);
  EXPECT_EQ(debugMask(), nullptr);
  // A failed installation is returned; the level works all the same.
  core.failures().add(sim::FailureRule{"InstallMultipleProtocolInterfaces", 0, EFI_OUT_OF_RESOURCES,
                                       gEfiDebugMaskProtocolGuid});
  load();
  EXPECT_EQ(construct(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(debugMask(), nullptr);
  EXPECT_EQ(probe->GetLevel(), 0x80000040u);
}

TEST_F(ErrorLevelTest, SetDebugMaskBeforeSettlingOnlyAZeroLetsCmosIn) {
  for (UINTN early : {UINTN(0), UINTN(0x80000000)}) {
    load();
    EFI_TPL old = bs->RaiseTPL(TPL_NOTIFY);
    construct();
    EXPECT_EQ(debugMask()->SetDebugMask(debugMask(), early), EFI_SUCCESS);
    bs->RestoreTPL(old);
    unsigned readsBefore = cmos->totalReads();
    old = bs->RaiseTPL(TPL_CALLBACK);
    print(0x40, "info\n");
    bs->RestoreTPL(old);
    EXPECT_EQ(cmos->totalReads() - readsBefore, early == 0 ? 4u : 0u);
    EXPECT_EQ(mask(), early == 0 ? 0x80000040u : 0x80000000u);
  }
  EXPECT_EQ(console(), "info\n") << "printed at the CMOS level only";
  EXPECT_EQ(variableReads(), 2u) << "both settled";
}

// Raises as the core does and then, once, signals an event: its notify is
// dispatched by the RestoreTPL that follows.
EFI_RAISE_TPL gCoreRaise = nullptr;
EFI_BOOT_SERVICES *gSignalServices = nullptr;
EFI_EVENT gSignalAtRaise = nullptr;
EFI_TPL EFIAPI raiseThenSignal(EFI_TPL tpl) {
  EFI_TPL old = gCoreRaise(tpl);
  if (tpl == TPL_HIGH_LEVEL && gSignalAtRaise != nullptr) {
    EFI_EVENT event = std::exchange(gSignalAtRaise, nullptr);
    gSignalServices->SignalEvent(event);
  }
  return old;
}
VOID EFIAPI printFromNotify(EFI_EVENT, VOID *context) {
  static_cast<ERROR_LEVEL_PROBE_PROTOCOL *>(context)->Print(0x40, "from a notify\n");
}

TEST_F(ErrorLevelTest, ANotifyThatPrintsWhileTheLevelIsFirstSettledSettlesItInstead) {
  setCmosLevel(0x40);
  load();
  EFI_EVENT event = nullptr;
  ASSERT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, printFromNotify, probe, &event), EFI_SUCCESS);
  gCoreRaise = bs->RaiseTPL;
  gSignalServices = bs;
  gSignalAtRaise = event;
  bs->RaiseTPL = raiseThenSignal;
  EXPECT_EQ(construct(), EFI_SUCCESS);
  bs->RaiseTPL = gCoreRaise;
  EXPECT_EQ(gSignalAtRaise, nullptr) << "signalled inside the constructor";
  EXPECT_EQ(console(), "from a notify\n");
  EXPECT_EQ(variableReads(), 1u) << "settled once, by the notify's print";
  EXPECT_EQ(cmos->totalReads(), 4u);
  EXPECT_EQ(probe->GetLevel(), 0x40u);
  EXPECT_EQ(bs->CloseEvent(event), EFI_SUCCESS);
}

TEST_F(ErrorLevelTest, TheLibrarySetterActsAsSetDebugMaskDoes) {
  load();
  construct();
  ASSERT_EQ(mask(), 0x80000040u);
  EXPECT_TRUE(probe->SetLevel(0x80000000));
  EXPECT_EQ(mask(), 0x80000000u);
  print(0x40, "info\n");
  print(0x80000000, "error\n");
  EXPECT_EQ(console(), "error\n");
}

TEST_F(ErrorLevelTest, SetDebugMaskZeroAfterSettlingSilencesEveryMessageForGood) {
  load();
  construct();
  print(0x40, "before\n");
  EXPECT_EQ(debugMask()->SetDebugMask(debugMask(), 0), EFI_SUCCESS);
  for (int i = 0; i < 3; i++) {
    print(0xFFFFFFFF, "after\n");
  }
  EXPECT_EQ(console(), "before\n");
  EXPECT_EQ(mask(), 0u);
  EXPECT_EQ(cmos->totalReads(), 4u) << "no source is read again";
}

TEST_F(ErrorLevelTest, OnlyTheLow32BitsOfANewMaskCountAndANullMaskPointerIsRefused) {
  load();
  construct();
  debugMask()->SetDebugMask(debugMask(), 0x100000040ULL);
  EXPECT_EQ(mask(), 0x40u);
  EXPECT_EQ(probe->GetLevel(), 0x40u);
  EXPECT_EQ(debugMask()->GetDebugMask(debugMask(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(probe->GetLevel(), 0x40u);
}

// ---------------------------------------------------------------------------
// Which HOB, and the walk's bounds.

TEST_F(ErrorLevelTest, TheFirstOfSeveralLevelHobsInTheFirstOfSeveralHobListsIsUsed) {
  core.addGuidHob(kOtherGuid, levelBytes(0x1));
  core.addGuidHob(gEfiGenericVariableGuid, {0x78, 0x56, 0x34, 0x12, 0xAA});
  core.addGuidHob(gEfiGenericVariableGuid, levelBytes(0x80000000));
  std::vector<uint8_t> second = sim::buildHobList({sim::levelHob(0x40)});
  sim::sealHobList(second);
  core.appendConfigurationTable(gEfiHobListGuid, second.data());
  load();
  construct();
  EXPECT_EQ(probe->GetLevel(), 0x12345678u);
}

TEST_F(ErrorLevelTest, ALaterHobListIsNotSearchedWhenTheFirstHasNoLevelHob) {
  core.addGuidHob(kOtherGuid, {1, 2, 3, 4});
  std::vector<uint8_t> second = sim::buildHobList({sim::levelHob(0x80000000)});
  sim::sealHobList(second);
  core.appendConfigurationTable(gEfiHobListGuid, second.data());
  setCmosLevel(0x40);
  load();
  construct();
  EXPECT_EQ(probe->GetLevel(), 0x40u);
}

// Hand-made lists: which level each gives, with CMOS holding 0x80000000.
TEST_F(ErrorLevelTest, TheWalkEndsAtABadLengthOrAtTheEndHobTheHandoffHobNames) {
  auto concat = [](std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto &part : parts) {
      out.insert(out.end(), part.begin(), part.end());
    }
    return out;
  };
  const std::vector<uint8_t> end = rawHob(EFI_HOB_TYPE_END_OF_HOB_LIST, 8, 8);
  const std::vector<uint8_t> level = levelHobBytes(0x40, 32);
  auto other = [](uint16_t length, size_t size) {
    return rawHob(EFI_HOB_TYPE_RESOURCE_DESCRIPTOR, length, size);
  };
  struct Case {
    const char *what;
    std::vector<uint8_t> hobs;
    std::optional<size_t> endHob; // offset the handoff HOB names; none: no handoff HOB
    uint32_t expected;
  };
  const Case cases[] = {
      {"zero length", concat({other(0, 8), level, end}), 40, 0x80000000},
      {"zero length, no handoff HOB", concat({other(0, 8), level, end}), std::nullopt, 0x80000000},
      {"length below a header", concat({other(4, 8), level, end}), 40, 0x80000000},
      {"reaching past the end HOB", concat({other(0xFFF8, 16), end}), 16, 0x80000000},
      {"level HOB past the named end", concat({other(16, 16), level, end}), 16, 0x80000000},
      {"level HOB within the named end", concat({other(16, 16), level, end}), 48, 0x40},
      {"no handoff HOB", concat({other(16, 16), level, end}), std::nullopt, 0x40},
      // The first level HOB settles it, whatever its length: its level is
      // the next HOB's type and length, never the later HOB's level.
      {"level HOB too short for a level", concat({levelHobBytes(0x1, 24), level, end}), 56, 0x00200004},
      {"short level HOB, no handoff HOB", concat({levelHobBytes(0x1, 24), end}), std::nullopt, 0x0008FFFF},
      {"short level HOB whose level lies past the named end", levelHobBytes(0x1, 24), 16, 0x80000000},
      {"level HOB just inside the named end", concat({levelHobBytes(0x1, 28), end}), 28, 0x1},
      {"short level HOB whose level ends the list",
       concat({levelHobBytes(0x1, 24), {0x78, 0x56, 0x34, 0x12}}), 20, 0x12345678},
      {"GUID HOB too short for its name", concat({levelHobBytes(0x1, 16), level, end}), 48, 0x40},
      // The named end is no end HOB: the walk stops at it all the same.
      {"the named end HOB is not an end HOB", concat({other(8, 8), level, end}), 0, 0x80000000},
      // A handoff HOB that names no usable end leaves the walk unbounded.
      {"handoff HOB shorter than its table", concat({rawHob(EFI_HOB_TYPE_HANDOFF, 16, 16), level, end}),
       std::nullopt, 0x40},
      {"handoff HOB naming an end below the list",
       concat({rawHob(EFI_HOB_TYPE_HANDOFF, sizeof(EFI_HOB_HANDOFF_INFO_TABLE),
                      sizeof(EFI_HOB_HANDOFF_INFO_TABLE)),
               level, end}),
       std::nullopt, 0x40},
  };
  setCmosLevel(0x80000000);
  for (const Case &c : cases) {
    installHobList(c.hobs, c.endHob);
    load();
    construct();
    EXPECT_EQ(probe->GetLevel(), c.expected) << c.what;
  }
}

// ---------------------------------------------------------------------------
// The driver's own level, in whole boots.

struct Booted {
  explicit Booted(const sim::Board &board) : simulation(board, kDriverImage) {}
  std::string run() {
    simulation.run();
    return simulation.console().bytes();
  }
  EFI_DEBUG_MASK_PROTOCOL *debugMask() {
    VOID *iface = nullptr;
    EFI_HANDLE driver = simulation.loader().images().at(0)->handle;
    EFI_STATUS status = simulation.core().systemTable()->BootServices->HandleProtocol(
        driver, &gEfiDebugMaskProtocolGuid, &iface);
    return status == EFI_SUCCESS ? static_cast<EFI_DEBUG_MASK_PROTOCOL *>(iface) : nullptr;
  }
  sim::Simulation simulation;
};

TEST(ErrorLevelBoot, ALevelHobFromTheBoardWinsOverCmos) {
  sim::Board board = sim::referenceBoard();
  board.hobs.push_back(sim::levelHob(0x40));
  board.setCmosErrorLevel(0x80000000);
  board.failures.push_back(sim::FailureRule{"CreateEventEx", 1, EFI_OUT_OF_RESOURCES, std::nullopt});
  Booted boot(board);
  std::string console = boot.run();
  EXPECT_NE(console.find("KeshInitEntryPoint Entry\r\n"), std::string::npos) << console;
  EXPECT_EQ(console.find("ASSERT_EFI_ERROR (Status"), std::string::npos)
      << "an error-level line: " << console;
  EXPECT_FALSE(boot.simulation.assertions().empty()) << "assertion reports are never filtered";
  EXPECT_EQ(boot.simulation.cmos().reads(0x7A), 0u);
}

TEST(ErrorLevelBoot, TheFirstHobListOfTheBoardFileIsTheOneSearched) {
  sim::Board board = sim::parseBoardToml(R"(
[board]
extends = "reference"
[cmos]
bytes = [[0x7A, 0x00], [0x7B, 0x00], [0x7C, 0x00], [0x7D, 0x00]]
[[hob_list]]
[[hob_list.hob]]
guid = "1A2B3C4D-0001-0002-1020-304050607080"
data = [1, 2, 3, 4]
[[hob_list]]
[[hob_list.hob]]
level = 0x40
)",
                                         KESH_SOURCE_DIR "/boards/hob-lists.toml");
  ASSERT_EQ(board.hobLists.size(), 2u);
  {
    Booted boot(board);
    EXPECT_EQ(boot.run(), "") << "level 0: the second list's level HOB is never reached";
  }
  board.hobLists.erase(board.hobLists.begin());
  Booted second(board);
  EXPECT_NE(second.run().find("KeshInitEntryPoint Entry\r\n"), std::string::npos);
}

// Another component silences the driver through its debug mask, at End of
// DXE, before the driver's own notify runs.
VOID EFIAPI SilenceDriver(EFI_EVENT, VOID *context) {
  auto *boot = static_cast<Booted *>(context);
  EFI_DEBUG_MASK_PROTOCOL *mask = boot->debugMask();
  ASSERT_NE(mask, nullptr) << "on the driver's image handle";
  UINTN level = 0;
  EXPECT_EQ(mask->GetDebugMask(mask, &level), EFI_SUCCESS);
  EXPECT_EQ(level, 0x80000040u) << "the reference board's CMOS level";
  EXPECT_EQ(mask->SetDebugMask(mask, 0), EFI_SUCCESS);
}

TEST(ErrorLevelBoot, SetDebugMaskFromAnotherComponentTakesEffectFromTheNextPrint) {
  Booted boot(sim::referenceBoard());
  boot.simulation.core().setCurrentImage("DxeCore");
  EFI_EVENT event = nullptr;
  ASSERT_EQ(boot.simulation.core().systemTable()->BootServices->CreateEventEx(
                EVT_NOTIFY_SIGNAL, TPL_NOTIFY, SilenceDriver, &boot, &gEfiEndOfDxeEventGroupGuid, &event),
            EFI_SUCCESS);
  std::string console = boot.run();
  EXPECT_NE(console.find("KeshInitEntryPoint Exit\r\n"), std::string::npos) << console;
  EXPECT_EQ(console.find("KeshOnEndOfDxe"), std::string::npos) << console;
  EXPECT_EQ(console.find("KeshOnReadyToBoot"), std::string::npos) << console;
}

} // namespace
