// SPDX-License-Identifier: BSD-2-Clause-Patent
// The S3 save library linked into the test with a DXE core, the machine,
// the debug-print service and the SMM replay handler: table creation,
// growth and checks, every entry layout, the PCI window, the lifecycle and
// the hand-off message.
#include "Dxe/DxeCore.h"
#include "FirmwareHarness.h"
#include "Machine/Devices.h"
#include "Machine/Machine.h"
#include "Platform/DebugPrintService.h"
#include "Platform/S3Table.h"
#include "Platform/SmmCommunication.h"

#include <Guid/EventGroup.h>
#include <Library/BaseLib.h>
#include <Library/OrunS3SaveLib.h>
#include <Library/PcdLib.h>
#include <Library/PciLib.h>
#include <Library/S3BootScriptLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/DebugPrintSvc.h>
#include <Protocol/DxeSmmReadyToLock.h>
#include <Protocol/Pcd.h>
#include <Protocol/SmmCommunication.h>

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

// This test module's build settings and the two library instances it
// picks: a PCD library that asks the live core each time (each test has
// its own core) and a boot script that records what it is given.
extern const UINTN _PCD_TOKEN_PcdS3SavePrivateData = 214;
extern const UINTN _PCD_TOKEN_PcdS3SaveCommBuffer = 215;

namespace {
PCD_PROTOCOL *livePcd() {
  PCD_PROTOCOL *pcd = nullptr;
  gBS->LocateProtocol(&gPcdProtocolGuid, nullptr, reinterpret_cast<VOID **>(&pcd));
  return pcd;
}

struct ScriptWrite {
  S3_BOOT_SCRIPT_LIB_WIDTH width;
  UINT64 address;
  UINTN count;
  VOID *buffer;
};
std::vector<ScriptWrite> gScript;
RETURN_STATUS gScriptStatus = RETURN_SUCCESS;
} // namespace

UINT64 EFIAPI LibPcdGet64(IN UINTN TokenNumber) {
  return livePcd()->Get64(TokenNumber);
}
RETURN_STATUS EFIAPI LibPcdSet64S(IN UINTN TokenNumber, IN UINT64 Value) {
  return livePcd()->Set64(TokenNumber, Value);
}
RETURN_STATUS EFIAPI S3BootScriptSaveMemWrite(IN S3_BOOT_SCRIPT_LIB_WIDTH Width, IN UINT64 Address,
                                              IN UINTN Count, IN VOID *Buffer) {
  gScript.push_back(ScriptWrite{Width, Address, Count, Buffer});
  return gScriptStatus;
}

namespace {

constexpr uint64_t kWindowMsr = 0xE0000021; // base 0xE0000000, 2^8 buses, enabled
constexpr uint64_t kWindowBase = 0xE0000000;
constexpr const char *kSource = "Library/OrunS3SaveLib/S3Save/OrunS3SaveLib.cpp";

// The library caches the service it finds, so one service serves every test.
sim::DebugPrintServiceModel &printService() {
  static sim::DebugPrintServiceModel service(ORUN_S3_PRINT_FILTER | ORUN_S3_CAPTURE_PRINT_FILTER);
  return service;
}

// An argument list built here, as the recording step builds its own.
VOID EFIAPI BuildInto(UINT64 *image, UINT64 *size, UINTN type, ...) {
  VA_LIST marker;
  VA_START(marker, type);
  S3SaveBuildEntry(static_cast<UINT16>(type), marker, reinterpret_cast<UINT8 *>(image), size);
  VA_END(marker);
}

uint64_t address(const void *pointer) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer));
}

class S3SaveLib : public ::testing::Test {
protected:
  void SetUp() override {
    machine.mapIo(sim::PostCodePorts::kCodePort, sim::PostCodePorts::kCodePort + 3, &postCodes);
    machine.mapIo(sim::PostCodePorts::kMarkerPort, sim::PostCodePorts::kMarkerPort + 1, &postCodes);
    machine.mapIo(sim::AcpiPmTimer::kPort, sim::AcpiPmTimer::kPort + 3, &timer);
    machine.setMsr(ORUN_S3_MMIO_CONFIG_MSR, kWindowMsr);
    // A fatal stop shows its code once and returns.
    machine.setDebugEnvironmentAnswer(1);
    core.pcdTokens()[214] = sim::PcdToken{8, 0};
    core.pcdTokens()[215] = sim::PcdToken{8, address(commBuffer.data())};
    printService().clear();
    EFI_HANDLE handle = nullptr;
    core.installProtocol(&handle, gDebugPrintSvcProtocolGuid, printService().protocol());
    UefiBootServicesTableLibConstructor(image, core.systemTable());
    gScript.clear();
    gScriptStatus = RETURN_SUCCESS;
  }

  EFI_STATUS construct() { return OrunS3SaveLibConstructor(image, core.systemTable()); }
  void readyToLock() {
    EFI_HANDLE handle = nullptr;
    core.installProtocol(&handle, gEfiDxeSmmReadyToLockProtocolGuid, &marker);
  }
  // Constructed and past SMM ready-to-lock: recording into the table.
  void recording() {
    ASSERT_EQ(construct(), EFI_SUCCESS);
    readyToLock();
    ASSERT_EQ(shared()->BootScriptLocked, 1);
  }
  void readyToBoot() { core.signalEventGroup(gEfiEventReadyToBootGuid); }
  void installSmm() {
    smm = std::make_unique<sim::SmmCommunicationModel>(
        core, machine, std::vector<sim::SmmCommunicationModel::Region>{{address(commBuffer.data()), 64}});
    EFI_HANDLE handle = nullptr;
    core.installProtocol(&handle, gEfiSmmCommunicationProtocolGuid, smm->protocol());
  }

  ORUN_S3_LIB_PRIVATE_DATA *shared() {
    return reinterpret_cast<ORUN_S3_LIB_PRIVATE_DATA *>(static_cast<uintptr_t>(core.pcdTokens()[214].value));
  }
  ORUN_S3_LIB_TABLE_HEADER *header() {
    return reinterpret_cast<ORUN_S3_LIB_TABLE_HEADER *>(static_cast<uintptr_t>(shared()->TableBase));
  }
  uint8_t *tableBytes() { return reinterpret_cast<uint8_t *>(header()); }
  uint32_t at32(uint64_t offset) {
    uint32_t value;
    std::memcpy(&value, tableBytes() + offset, 4);
    return value;
  }
  sim::S3TableDecode decoded() {
    return sim::decodeS3Table(std::span<const uint8_t>(tableBytes(), header()->TableLength + 4), false);
  }
  UINT32 record(UINT64 where, UINT32 value) { return S3SaveMemWrite(3, where, &value); }
  std::vector<sim::PoolBlock> tablesInPool() {
    std::vector<sim::PoolBlock> out;
    for (const sim::PoolBlock &block : core.poolInUse()) {
      if (block.size != sizeof(ORUN_S3_LIB_PRIVATE_DATA)) {
        out.push_back(block);
      }
    }
    return out;
  }
  // The expressions of the assertion reports, in order; all from the library's source.
  std::vector<std::string> assertions() {
    static const std::regex kReport(R"(ASSERT ([^ ()]+)\((\d+)\): ([^\r\n]*)\r\n)");
    std::vector<std::string> out;
    const std::string &text = harness::console();
    for (auto it = std::sregex_iterator(text.begin(), text.end(), kReport); it != std::sregex_iterator();
         ++it) {
      out.push_back((*it)[3].str());
      if ((*it)[3].str() != "!EFI_ERROR (Status)") {
        EXPECT_EQ((*it)[1].str(), kSource);
      }
    }
    return out;
  }
  std::string printed() { return printService().printedText(); }
  void failNext(const char *service) {
    core.failures().add(
        sim::FailureRule{service, core.failures().calls(service) + 1, EFI_OUT_OF_RESOURCES, {}});
  }

  sim::Machine machine;
  harness::MachineBinding binding{machine};
  sim::PostCodePorts postCodes{machine};
  sim::AcpiPmTimer timer{machine};
  sim::DxeCore core{machine};
  EFI_HANDLE image = core.createHandle();
  std::vector<uint64_t> commBuffer = std::vector<uint64_t>(8, 0xAAAAAAAAAAAAAAAAULL);
  std::unique_ptr<sim::SmmCommunicationModel> smm;
  uint64_t marker = 0;
};

TEST_F(S3SaveLib, TheFirstRecordCreatesTheTableWithItsHeaderEndMarkerAndEntry) {
  ASSERT_EQ(construct(), EFI_SUCCESS);
  EXPECT_EQ(printed(), "OrunS3LibPrivateData allocation\n");
  ASSERT_EQ(printService().lines().size(), 1u);
  EXPECT_EQ(printService().lines()[0].filter, ORUN_S3_PRINT_FILTER);
  // The private data: 16 zeroed bytes of runtime pool, shared through token 214.
  auto pool = core.poolInUse();
  ASSERT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool[0].size, 16u);
  EXPECT_EQ(pool[0].type, EfiRuntimeServicesData);
  ASSERT_EQ(core.pcdWrites().size(), 1u);
  EXPECT_EQ(core.pcdWrites()[0].token, 214u);
  EXPECT_EQ(core.pcdWrites()[0].value, address(pool[0].address));
  const uint8_t zero[16] = {};
  EXPECT_EQ(std::memcmp(shared(), zero, 16), 0);

  readyToLock();
  EXPECT_EQ(shared()->TableBase, 0u) << "no table before the first record";
  EXPECT_EQ(record(kWindowBase + 0x100048, 0x12345678), ORUN_S3_STATUS_SUCCESS);
  auto tables = tablesInPool();
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0].size, 0x4004u);
  EXPECT_EQ(tables[0].type, EfiRuntimeServicesData);
  EXPECT_EQ(address(tables[0].address), shared()->TableBase);
  EXPECT_EQ(at32(0), 0x5433534Fu);
  EXPECT_EQ(std::memcmp(tableBytes(), "OS3T", 4), 0);
  EXPECT_EQ(header()->Version, 1u);
  EXPECT_EQ(header()->TableLength, 0x4000u);
  EXPECT_EQ(header()->NextOffset, 0x48u) << "one 24-byte entry after the 48-byte header";
  EXPECT_EQ(at32(0x4000), 0x01558844u);
  for (unsigned i = 8; i < 0x20; i++) {
    EXPECT_EQ(tableBytes()[i], 0) << "reserved header byte " << i;
  }
  const ORUN_S3_MEM_WRITE_ENTRY *entry =
      reinterpret_cast<const ORUN_S3_MEM_WRITE_ENTRY *>(tableBytes() + 0x30);
  EXPECT_EQ(entry->Type, 3);
  EXPECT_EQ(entry->Reserved, 0);
  EXPECT_EQ(entry->Width, 2u) << "32-bit";
  EXPECT_EQ(entry->Address, kWindowBase + 0x100048);
  EXPECT_EQ(entry->Value, 0x12345678u);
  EXPECT_TRUE(assertions().empty()) << harness::console();
}

TEST_F(S3SaveLib, SixHundredEightyEntriesFitAndTheNextGrowsTheTableAndMovesTheMarker) {
  recording();
  for (unsigned i = 0; i < 680; i++) {
    ASSERT_EQ(record(kWindowBase + i * 4, i), ORUN_S3_STATUS_SUCCESS);
  }
  EXPECT_EQ(header()->NextOffset, 0x30u + 680 * 24);
  EXPECT_EQ(header()->TableLength, 0x4000u);
  EXPECT_EQ(tablesInPool().size(), 1u);
  EXPECT_EQ(tablesInPool()[0].size, 0x4004u);
  uint64_t firstTable = shared()->TableBase;

  ASSERT_EQ(record(kWindowBase + 0xABC, 681), ORUN_S3_STATUS_SUCCESS);
  EXPECT_NE(shared()->TableBase, firstTable) << "moved to the larger buffer";
  auto tables = tablesInPool();
  ASSERT_EQ(tables.size(), 1u) << "the old table is freed";
  EXPECT_EQ(tables[0].size, 0x4404u);
  EXPECT_EQ(header()->TableLength, 0x4400u);
  EXPECT_EQ(at32(0x4400), 0x01558844u);
  for (unsigned i = 0x30 + 681 * 24; i < 0x4400; i++) {
    ASSERT_EQ(tableBytes()[i], 0) << "byte " << i << ": the old marker is not copied, the rest is zero";
  }
  EXPECT_EQ(header()->NextOffset, 0x30u + 681 * 24);
  auto table = decoded();
  EXPECT_TRUE(table.problems.empty()) << table.problems.front();
  ASSERT_EQ(table.entries.size(), 681u);
  EXPECT_EQ(table.entries[680].offset, 0x30u + 680 * 24) << "where the 680th ended";
  EXPECT_EQ(table.entries[680].arguments[2], 681u);
  for (unsigned i = 0; i < 680; i++) {
    ASSERT_EQ(table.entries[i].arguments[1], kWindowBase + i * 4)
        << "entry " << i << " kept through the growth";
    ASSERT_EQ(table.entries[i].arguments[2], i);
  }
}

TEST_F(S3SaveLib, AnEntryThatFitsExactlyIsAppendedWithoutGrowthAndOneByteMoreGrows) {
  recording();
  ASSERT_EQ(record(kWindowBase, 1), ORUN_S3_STATUS_SUCCESS);
  // NextOffset + 24 + 2 == TableLength: the terminator still fits.
  header()->NextOffset = 0x4000 - 2 - 24;
  ASSERT_EQ(record(kWindowBase + 4, 2), ORUN_S3_STATUS_SUCCESS);
  EXPECT_EQ(header()->TableLength, 0x4000u);
  EXPECT_EQ(header()->NextOffset, 0x4000u - 2);
  EXPECT_EQ(at32(0x4000), 0x01558844u) << "the entry ends two bytes before the marker";

  // Growth whose entry stops short of the old marker: the new buffer holds
  // zeros there, not a copy of the marker.
  header()->NextOffset = 0x3FE8;
  ASSERT_EQ(record(kWindowBase + 8, 3), ORUN_S3_STATUS_SUCCESS);
  EXPECT_EQ(header()->TableLength, 0x4400u);
  EXPECT_EQ(at32(0x4000), 0u);
  EXPECT_EQ(at32(0x4400), 0x01558844u);
  EXPECT_EQ(header()->NextOffset, 0x4000u);

  header()->NextOffset = 0x4400 - 2 - 24 + 1;
  ASSERT_EQ(record(kWindowBase + 8, 3), ORUN_S3_STATUS_SUCCESS);
  EXPECT_EQ(header()->TableLength, 0x4800u) << "one byte more than fits grows";
  EXPECT_EQ(header()->NextOffset, 0x4400u - 2 + 1);
}

TEST_F(S3SaveLib, EveryEntryTypeHasItsLayoutAndEveryEntryStartsAtAMultipleOfEight) {
  recording();
  const UINT64 a = 0x1111111122222222ULL, b = 0x3333333344444444ULL, c = 0x5555555566666666ULL;
  const UINT64 d = 0x7777777788888888ULL, e = 0x99999999AAAAAAAAULL, f = 0xBBBBBBBBCCCCCCCCULL;
  EXPECT_EQ(S3SaveAppendEntry(0, a, b, c), 0u);
  EXPECT_EQ(S3SaveAppendEntry(1, a, b, c, d), 0u);
  EXPECT_EQ(S3SaveAppendEntry(2, a, b, c, d, e), 0u);
  EXPECT_EQ(S3SaveAppendEntry(3, UINT64{2}, b, c), 0u); // a write needs a real width
  EXPECT_EQ(S3SaveAppendEntry(4, a, b, c, d), 0u);
  EXPECT_EQ(S3SaveAppendEntry(5, a, b, c, d, e), 0u);
  EXPECT_EQ(S3SaveAppendEntry(6, a, b, c, d), 0u);
  EXPECT_EQ(S3SaveAppendEntry(7, a, b, c, d, e), 0u);
  EXPECT_EQ(S3SaveAppendEntry(8, a, b, c, d, e, f), 0u);
  EXPECT_EQ(S3SaveAppendEntry(9, a, b), 0u);
  auto table = decoded();
  EXPECT_TRUE(table.problems.empty()) << table.problems.front();
  ASSERT_EQ(table.entries.size(), 10u);
  const unsigned sizes[] = {24, 32, 40, 24, 32, 40, 32, 40, 48, 24};
  uint64_t offset = 0x30;
  for (unsigned type = 0; type < 10; type++) {
    const sim::S3TableEntry &entry = table.entries[type];
    EXPECT_EQ(entry.type, type);
    EXPECT_EQ(entry.offset, offset);
    EXPECT_EQ(entry.offset % 8, 0u);
    EXPECT_EQ(entry.size, sizes[type]);
    offset += sizes[type];
    if (type <= 8 && type != 3) {
      EXPECT_EQ(entry.arguments[0], a & 0xFFFFFFFF) << "A1 keeps its low 32 bits, type " << type;
    }
  }
  EXPECT_EQ(header()->NextOffset, offset);
  // Every argument in its place: A1 as 32 bits, A2 whole for types 0-5 and
  // as 16 bits for types 6-8, the rest whole.
  const uint64_t a1 = a & 0xFFFFFFFF, b16 = b & 0xFFFF;
  const std::vector<uint64_t> expected[9] = {{a1, b, c},      {a1, b, c, d},      {a1, b, c, d, e},
                                             {2, b, c},       {a1, b, c, d},      {a1, b, c, d, e},
                                             {a1, b16, c, d}, {a1, b16, c, d, e}, {a1, b16, c, d, e, f}};
  for (unsigned type = 0; type < 9; type++) {
    EXPECT_EQ(table.entries[type].arguments, expected[type]) << "type " << type;
  }
  // Types 0-5: A2 onward whole.
  EXPECT_EQ(table.entries[2].arguments, (std::vector<uint64_t>{a & 0xFFFFFFFF, b, c, d, e}));
  // Types 6-8: A2 as 16 bits, bytes 10-15 zero.
  for (unsigned type = 6; type <= 8; type++) {
    const uint8_t *raw = tableBytes() + table.entries[type].offset;
    EXPECT_EQ(table.entries[type].arguments[1], b & 0xFFFF);
    for (unsigned i = 10; i < 16; i++) {
      EXPECT_EQ(raw[i], 0) << "type " << type << " byte " << i;
    }
  }
  EXPECT_EQ(table.entries[8].arguments, (std::vector<uint64_t>{a & 0xFFFFFFFF, b & 0xFFFF, c, d, e, f}));
  // Type 9: nothing at offset 4; A1 at 8, A2 at 16.
  const uint8_t *nine = tableBytes() + table.entries[9].offset;
  for (unsigned i = 2; i < 8; i++) {
    EXPECT_EQ(nine[i], 0) << "type 9 byte " << i;
  }
  UINT64 nineA1, nineA2;
  std::memcpy(&nineA1, nine + 8, 8);
  std::memcpy(&nineA2, nine + 16, 8);
  EXPECT_EQ(nineA1, a);
  EXPECT_EQ(nineA2, b);
}

TEST_F(S3SaveLib, TypesAboveNineAppendNothingAndStillSucceed) {
  recording();
  ASSERT_EQ(record(kWindowBase, 1), ORUN_S3_STATUS_SUCCESS);
  UINT64 next = header()->NextOffset;
  EXPECT_EQ(S3SaveAppendEntry(10, UINT64{1}, UINT64{2}, UINT64{3}), ORUN_S3_STATUS_SUCCESS);
  EXPECT_EQ(S3SaveAppendEntry(0xFFFF, UINT64{1}), ORUN_S3_STATUS_SUCCESS);
  EXPECT_EQ(header()->NextOffset, next);
  EXPECT_EQ(assertions(), (std::vector<std::string>{"0", "0"}));
  UINT64 image[12] = {};
  UINT64 size = 0;
  BuildInto(image, &size, 11, UINT64{5});
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(image[0], 11u) << "only the type is stored";
  EXPECT_EQ(image[1], 0u);
  BuildInto(image, &size, 9, UINT64{5}, UINT64{6});
  EXPECT_EQ(size, 24u);
  EXPECT_EQ(image[1], 5u);
  EXPECT_EQ(image[2], 6u);
}

TEST_F(S3SaveLib, BeforeReadyToLockWritesGoToTheStandardOperationAndItsFailureIsAnError) {
  ASSERT_EQ(construct(), EFI_SUCCESS);
  UINT16 value = 0xBEEF;
  EXPECT_EQ(S3SaveMemWrite(2, kWindowBase + 0x46, &value), ORUN_S3_STATUS_SUCCESS);
  ASSERT_EQ(gScript.size(), 1u);
  EXPECT_EQ(gScript[0].width, S3BootScriptWidthUint16);
  EXPECT_EQ(gScript[0].address, kWindowBase + 0x46);
  EXPECT_EQ(gScript[0].count, 1u);
  EXPECT_EQ(gScript[0].buffer, &value);
  EXPECT_EQ(shared()->TableBase, 0u) << "no table";
  EXPECT_EQ(core.poolInUse().size(), 1u) << "only the private data";
  // Appended straight away, an entry is not recorded before the lock either.
  EXPECT_EQ(S3SaveAppendEntry(ORUN_S3_ENTRY_MEM_WRITE, UINT64{2}, UINT64{kWindowBase}, UINT64{1}),
            ORUN_S3_STATUS_SUCCESS);
  EXPECT_EQ(shared()->TableBase, 0u) << "still no table";
  gScriptStatus = RETURN_OUT_OF_RESOURCES;
  EXPECT_EQ(S3SaveMemWrite(4, kWindowBase, &value), ORUN_S3_STATUS_ERROR);
  EXPECT_EQ(gScript.back().width, S3BootScriptWidthUint64);

  // After ready-to-lock the standard operation is no longer used.
  readyToLock();
  EXPECT_EQ(S3SaveMemWrite(1, kWindowBase + 0x40, &value), ORUN_S3_STATUS_SUCCESS);
  EXPECT_EQ(gScript.size(), 2u);
  EXPECT_NE(shared()->TableBase, 0u);
}

TEST_F(S3SaveLib, ValuesAreReadAtTheirWidthAndImpossibleWidthsStopWithTheirCodes) {
  const UINT8 bytes[9] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99};
  // Deliberately unaligned.
  EXPECT_EQ(S3SaveReadValue(1, const_cast<UINT8 *>(bytes + 1)), 0x22u);
  EXPECT_EQ(S3SaveReadValue(2, const_cast<UINT8 *>(bytes + 1)), 0x3322u);
  EXPECT_EQ(S3SaveReadValue(3, const_cast<UINT8 *>(bytes + 1)), 0x55443322u);
  EXPECT_EQ(S3SaveReadValue(4, const_cast<UINT8 *>(bytes + 1)), 0x9988776655443322ULL);
  EXPECT_EQ(S3SaveScriptWidth(1), 0u);
  EXPECT_EQ(S3SaveScriptWidth(2), 1u);
  EXPECT_EQ(S3SaveScriptWidth(3), 2u);
  EXPECT_EQ(S3SaveScriptWidth(4), 3u);
  EXPECT_TRUE(postCodes.fatalStops().empty());
  EXPECT_EQ(S3SaveReadValue(5, const_cast<UINT8 *>(bytes)), 0u);
  EXPECT_EQ(S3SaveScriptWidth(0), 0u);
  ASSERT_EQ(postCodes.fatalStops().size(), 2u);
  EXPECT_EQ(postCodes.fatalStops()[0].code, 0x00090552u);
  EXPECT_EQ(postCodes.fatalStops()[1].code, 0x00090581u);
}

TEST_F(S3SaveLib, AnImpossibleWidthShowsItsStopsInOrderAndRecordsNothing) {
  ASSERT_EQ(construct(), EFI_SUCCESS);
  UINT64 value = 0x55;
  // Before ready-to-lock only the width is converted.
  EXPECT_EQ(S3SaveMemWrite(7, kWindowBase, &value), ORUN_S3_STATUS_ERROR);
  ASSERT_EQ(postCodes.fatalStops().size(), 1u);
  EXPECT_EQ(postCodes.fatalStops()[0].code, 0x00090581u);
  EXPECT_TRUE(gScript.empty()) << "no write saved with a made-up width";

  readyToLock();
  EXPECT_EQ(S3SaveMemWrite(0, kWindowBase, &value), ORUN_S3_STATUS_ERROR);
  ASSERT_EQ(postCodes.fatalStops().size(), 3u);
  EXPECT_EQ(postCodes.fatalStops()[1].code, 0x00090552u) << "the value is fetched first";
  EXPECT_EQ(postCodes.fatalStops()[2].code, 0x00090581u);
  EXPECT_EQ(shared()->TableBase, 0u) << "nothing recorded, so no table";

  // Through the PCI window: one byte is checked against it, then the same.
  EXPECT_EQ(S3SavePciWrite(5, 0, &value), ORUN_S3_STATUS_ERROR);
  ASSERT_EQ(postCodes.fatalStops().size(), 5u);
  EXPECT_EQ(postCodes.fatalStops()[3].code, 0x00090552u);
  EXPECT_EQ(postCodes.fatalStops()[4].code, 0x00090581u);
  EXPECT_EQ(shared()->TableBase, 0u);
}

TEST_F(S3SaveLib, ADamagedSignatureOrEndMarkerRefusesEveryLaterRecord) {
  recording();
  ASSERT_EQ(record(kWindowBase, 1), ORUN_S3_STATUS_SUCCESS);
  header()->Sinature = 0x5433534E;
  EXPECT_EQ(record(kWindowBase + 4, 2), ORUN_S3_STATUS_ERROR);
  EXPECT_EQ(record(kWindowBase + 8, 3), ORUN_S3_STATUS_ERROR);
  EXPECT_EQ(header()->NextOffset, 0x48u) << "nothing appended";
  EXPECT_EQ(printed(), "OrunS3LibPrivateData allocation\nOrunS3Lib table Signature check fail\n"
                       "OrunS3Lib table Signature check fail\n");
  const std::string signature =
      "OrunS3LibTblHdr->Sinature == ((('O') | ('S' << 8)) | ((('3') | ('T' << 8)) << 16))";
  EXPECT_EQ(assertions(), (std::vector<std::string>{signature, signature}));
  EXPECT_EQ(machine.breakpointCount(), 2u);

  header()->Sinature = 0x5433534F;
  std::memset(tableBytes() + 0x4000, 0, 4);
  printService().clear();
  EXPECT_EQ(record(kWindowBase + 4, 2), ORUN_S3_STATUS_ERROR);
  EXPECT_EQ(S3SaveCheckTable(), ORUN_S3_STATUS_ERROR);
  EXPECT_EQ(header()->NextOffset, 0x48u);
  EXPECT_EQ(printed(), "OrunS3Lib table boundary check fail\nOrunS3Lib table boundary check fail\n");
  const std::string boundary =
      "*((UINT32 *) (mOrunS3LibPrivateData->TableBase + OrunS3LibTblHdr->TableLength)) "
      "== (0x01558844ul)";
  EXPECT_EQ(assertions().back(), boundary);

  // The check before the hand-off refuses it too: no terminator, nothing sent.
  installSmm();
  readyToBoot();
  EXPECT_TRUE(smm->calls().empty());
  uint16_t atNext;
  std::memcpy(&atNext, tableBytes() + 0x48, 2);
  EXPECT_NE(atNext, 0xFFFF);
  EXPECT_EQ(shared()->TableClosed, 0);
}

TEST_F(S3SaveLib, ANextOffsetPastTheDataAreaIsRefusedBeforeAnythingIsWritten) {
  recording();
  ASSERT_EQ(record(kWindowBase, 1), ORUN_S3_STATUS_SUCCESS);
  std::vector<uint8_t> before(tableBytes(), tableBytes() + 0x4004);
  header()->NextOffset = 0x10000;
  before.assign(tableBytes(), tableBytes() + 0x4004);
  EXPECT_EQ(record(kWindowBase + 4, 2), ORUN_S3_STATUS_ERROR);
  EXPECT_EQ(std::memcmp(before.data(), tableBytes(), 0x4004), 0);
  EXPECT_EQ(tablesInPool().size(), 1u) << "no growth either";
  EXPECT_EQ(printed(), "OrunS3LibPrivateData allocation\nOrunS3Lib table boundary check fail\n");
  header()->NextOffset = 0x10;
  EXPECT_EQ(record(kWindowBase + 4, 2), ORUN_S3_STATUS_ERROR) << "inside the header";
  header()->NextOffset = ~0ULL - 1;
  EXPECT_EQ(record(kWindowBase + 4, 2), ORUN_S3_STATUS_ERROR) << "an offset that wraps when added to";
  EXPECT_EQ(assertions(), (std::vector<std::string>(3, "NextOffsetInDataArea")));
}

TEST_F(S3SaveLib, PciAddressesMapIntoTheWindowAndOnlyIntoIt) {
  recording();
  UINT32 value = 0xC0DE;
  EXPECT_EQ(S3SavePciWrite(3, 0x03101800, &value), ORUN_S3_STATUS_SUCCESS);
  EXPECT_EQ(S3SavePciWrite(3, 0xF3101800ULL, &value), ORUN_S3_STATUS_SUCCESS) << "bits above 27 ignored";
  EXPECT_EQ(S3SavePciWrite(1, PCI_LIB_ADDRESS(2, 3, 1, 0x10), &value), ORUN_S3_STATUS_SUCCESS);
  auto table = decoded();
  ASSERT_EQ(table.entries.size(), 3u);
  EXPECT_EQ(table.entries[0].arguments[1], kWindowBase + 0x03101800);
  EXPECT_EQ(table.entries[1].arguments[1], kWindowBase + 0x03101800);
  EXPECT_EQ(table.entries[2].arguments[1], kWindowBase + 2 * 0x100000 + 3 * 0x8000 + 1 * 0x1000 + 0x10);
  EXPECT_EQ(table.entries[2].arguments[0], 0u) << "8-bit";
  EXPECT_EQ(table.entries[2].arguments[2], 0xDEu) << "zero-extended from its width";
}

TEST_F(S3SaveLib, TheWindowComesFromTheMsrAndASmallWindowRefusesBusesPastIt) {
  UINT64 base = 0x1234;
  UINT32 size = 0x5678;
  machine.setMsr(ORUN_S3_MMIO_CONFIG_MSR, 0xFFFFFFFFFFFFFFFEULL);
  EXPECT_FALSE(GetPciMmioAddress(&base, &size, nullptr));
  EXPECT_EQ(base, 0x1234u) << "outputs untouched";
  EXPECT_EQ(size, 0x5678u);
  machine.setMsr(ORUN_S3_MMIO_CONFIG_MSR, 0x00000012345FFFE1ULL); // bits 5:2 = 8
  EXPECT_TRUE(GetPciMmioAddress(&base, &size, nullptr));
  EXPECT_EQ(base, 0x0000001234500000ULL) << "bits 63:20";
  EXPECT_EQ(size, 256u << 20);
  machine.setMsr(ORUN_S3_MMIO_CONFIG_MSR, 0xE0000001);
  EXPECT_TRUE(GetPciMmioAddress(&base, &size, nullptr));
  EXPECT_EQ(size, 1u << 20) << "n = 0: one bus";
  machine.setMsr(ORUN_S3_MMIO_CONFIG_MSR, 0xE0000031); // n = 12: 4 GiB does not fit 32 bits
  EXPECT_TRUE(GetPciMmioAddress(&base, &size, nullptr));
  EXPECT_EQ(size, 0u);

  machine.setMsr(ORUN_S3_MMIO_CONFIG_MSR, 0xE0000011); // 16 buses
  recording();
  UINT32 value = 1;
  EXPECT_EQ(S3SavePciWrite(3, PCI_LIB_ADDRESS(15, 0, 0, 0x40), &value), ORUN_S3_STATUS_SUCCESS);
  EXPECT_EQ(S3SavePciWrite(3, PCI_LIB_ADDRESS(16, 0, 0, 0x40), &value), ORUN_S3_STATUS_ERROR)
      << "bus 16 lies past the window: its address would be memory";
  EXPECT_EQ(decoded().entries.size(), 1u);
}

TEST_F(S3SaveLib, AWindowReachingPastTheTopOfTheAddressSpaceRefusesWhatWouldWrap) {
  // Base 0xFFFFFFFFFFF00000, 2^15 buses: a size that does not fit 32 bits
  // and a window of which only bus 0 lies below 2^64.
  machine.setMsr(ORUN_S3_MMIO_CONFIG_MSR, 0xFFFFFFFFFFFFFFFFULL);
  recording();
  UINT64 value = 0x1122334455667788ULL;
  EXPECT_EQ(S3SavePciWrite(1, PCI_LIB_ADDRESS(1, 0, 0, 0x40), &value), ORUN_S3_STATUS_ERROR);
  EXPECT_EQ(S3SavePciWrite(1, PCI_LIB_ADDRESS(1, 0, 0, 0), &value), ORUN_S3_STATUS_ERROR) << "would be 0";
  EXPECT_EQ(S3SavePciWrite(3, PCI_LIB_ADDRESS(2, 3, 1, 0x10), &value), ORUN_S3_STATUS_ERROR);
  EXPECT_EQ(S3SavePciWrite(3, PCI_LIB_ADDRESS(0xFF, 31, 7, 0xFFC), &value), ORUN_S3_STATUS_ERROR);
  EXPECT_EQ(shared()->TableBase, 0u) << "nothing recorded at a wrapped address";
  EXPECT_EQ(S3SavePciWrite(2, PCI_LIB_ADDRESS(0, 0, 0, 0x46), &value), ORUN_S3_STATUS_SUCCESS);
  EXPECT_EQ(S3SavePciWrite(3, PCI_LIB_ADDRESS(0, 31, 7, 0xFFC), &value), ORUN_S3_STATUS_SUCCESS)
      << "the last four bytes below 2^64";
  EXPECT_EQ(S3SavePciWrite(4, PCI_LIB_ADDRESS(0, 31, 7, 0xFFC), &value), ORUN_S3_STATUS_ERROR)
      << "eight bytes there would wrap";
  EXPECT_EQ(S3SavePciWrite(4, PCI_LIB_ADDRESS(0, 31, 7, 0xFF8), &value), ORUN_S3_STATUS_SUCCESS);
  auto table = decoded();
  ASSERT_EQ(table.entries.size(), 3u);
  EXPECT_EQ(table.entries[0].arguments[1], 0xFFFFFFFFFFF00046ULL);
  EXPECT_EQ(table.entries[1].arguments[1], 0xFFFFFFFFFFFFFFFCULL);
  EXPECT_EQ(table.entries[2].arguments[1], 0xFFFFFFFFFFFFFFF8ULL);
}

TEST_F(S3SaveLib, AWindowOfFourGiBOrMoreHoldsEveryBusAndTheLastBusEndsASmallerOne) {
  machine.setMsr(ORUN_S3_MMIO_CONFIG_MSR, 0x0000001000000031ULL); // 2^12 buses at 64 GiB: size 0
  recording();
  UINT32 value = 5;
  EXPECT_EQ(S3SavePciWrite(3, PCI_LIB_ADDRESS(0xFF, 31, 7, 0xFFC), &value), ORUN_S3_STATUS_SUCCESS);
  ASSERT_EQ(decoded().entries.size(), 1u);
  EXPECT_EQ(decoded().entries[0].arguments[1], 0x0000001000000000ULL + 0x0FFFFFFC);

  // 16 buses: the last register of bus 15 is the window's last four bytes.
  machine.setMsr(ORUN_S3_MMIO_CONFIG_MSR, 0xE0000011);
  ASSERT_EQ(construct(), EFI_SUCCESS);
  UINT64 wide = 7;
  EXPECT_EQ(S3SavePciWrite(3, PCI_LIB_ADDRESS(15, 31, 7, 0xFFC), &wide), ORUN_S3_STATUS_SUCCESS);
  EXPECT_EQ(S3SavePciWrite(4, PCI_LIB_ADDRESS(15, 31, 7, 0xFFC), &wide), ORUN_S3_STATUS_ERROR)
      << "eight bytes would run past the last bus";
  EXPECT_EQ(S3SavePciWrite(1, PCI_LIB_ADDRESS(16, 0, 0, 0), &wide), ORUN_S3_STATUS_ERROR);
  EXPECT_EQ(decoded().entries.size(), 2u);
  EXPECT_EQ(decoded().entries[1].arguments[1], 0xE0FFFFFCu);
}

TEST_F(S3SaveLib, WithTheWindowDisabledTheConstructorAssertsAndPciWritesAreRefused) {
  machine.setMsr(ORUN_S3_MMIO_CONFIG_MSR, kWindowMsr & ~1ULL);
  ASSERT_EQ(construct(), EFI_SUCCESS) << "the sequence goes on";
  EXPECT_EQ(assertions(),
            (std::vector<std::string>{"GetPciMmioAddress (&mMMIOAddress, &mMMIOSize, ((void *) 0)) == 1"}));
  size_t msrReads = 0;
  for (const sim::TraceEntry &entry : machine.trace()) {
    msrReads += entry.kind == sim::AccessKind::ReadMsr && entry.address == ORUN_S3_MMIO_CONFIG_MSR ? 1 : 0;
  }
  EXPECT_EQ(msrReads, 1u) << "the window is read exactly once";
  readyToLock();
  UINT32 value = 7;
  EXPECT_EQ(S3SavePciWrite(3, 0x03101800, &value), ORUN_S3_STATUS_ERROR);
  EXPECT_EQ(shared()->TableBase, 0u) << "nothing recorded at a memory address";
  EXPECT_EQ(S3SaveMemWrite(3, 0xFED80000, &value), ORUN_S3_STATUS_SUCCESS)
      << "memory-mapped writes still record";
}

TEST_F(S3SaveLib, AFailedFirstAllocationLeavesNoTableAndTheNextRecordTriesAgain) {
  recording();
  failNext("AllocatePool");
  EXPECT_EQ(record(kWindowBase, 1), ORUN_S3_STATUS_ERROR);
  EXPECT_EQ(shared()->TableBase, 0u);
  EXPECT_EQ(printed(), "OrunS3LibPrivateData allocation\nOrunS3Lib table allocate fail\n");
  EXPECT_EQ(assertions(), (std::vector<std::string>{"OrunS3LibTblHdr != ((void *) 0)"}));
  EXPECT_EQ(record(kWindowBase, 2), ORUN_S3_STATUS_SUCCESS);
  EXPECT_EQ(decoded().entries.size(), 1u);
  EXPECT_EQ(decoded().entries[0].arguments[2], 2u);
}

TEST_F(S3SaveLib, AFailedGrowthLeavesTheTableAsItWas) {
  recording();
  for (unsigned i = 0; i < 680; i++) {
    ASSERT_EQ(record(kWindowBase + i * 4, i), ORUN_S3_STATUS_SUCCESS);
  }
  uint64_t base = shared()->TableBase;
  std::vector<uint8_t> before(tableBytes(), tableBytes() + 0x4004);
  failNext("AllocatePool");
  EXPECT_EQ(record(kWindowBase, 0xFFFF), ORUN_S3_STATUS_ERROR);
  EXPECT_EQ(shared()->TableBase, base);
  EXPECT_EQ(std::memcmp(before.data(), tableBytes(), 0x4004), 0);
  EXPECT_EQ(printService().lines().back().text, "OrunS3SaveLib allocate new Pool fail 4404\n");
  EXPECT_EQ(assertions(), (std::vector<std::string>{"TableData != ((void *) 0)"}));
  EXPECT_EQ(record(kWindowBase, 0xFFFF), ORUN_S3_STATUS_SUCCESS) << "the next growth succeeds";
  EXPECT_EQ(header()->TableLength, 0x4400u);
}

TEST_F(S3SaveLib, AFailedPrivateDataAllocationLeavesThePcdAndCreatesNoEvents) {
  failNext("AllocatePool");
  EXPECT_EQ(construct(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(core.pcdTokens()[214].value, 0u);
  EXPECT_TRUE(core.pcdWrites().empty());
  EXPECT_TRUE(core.events().empty());
  EXPECT_EQ(printed(), "OrunS3LibPrivateData allocation\nOrunS3LibPrivateData allocate fail\n");
  EXPECT_EQ(assertions(), (std::vector<std::string>{"OrunS3LibPrivateData != ((void *) 0)"}));
  UINT32 value = 1;
  EXPECT_EQ(S3SaveMemWrite(3, kWindowBase, &value), ORUN_S3_STATUS_ERROR) << "no shared state to record into";
  EXPECT_EQ(S3SaveAppendEntry(ORUN_S3_ENTRY_MEM_WRITE, UINT64{2}, UINT64{kWindowBase}, UINT64{1}),
            ORUN_S3_STATUS_ERROR)
      << "nor by a direct append";
}

// Called straight, without the event that would have run them.
TEST_F(S3SaveLib, TheNotifiesCalledWithoutTheirEventCloseNothingAndStillDoTheirWork) {
  installSmm();
  recording();
  shared()->BootScriptLocked = 0;
  unsigned closes = core.failures().calls("CloseEvent");
  S3ScriptLockNotify(nullptr, nullptr);
  EXPECT_EQ(shared()->BootScriptLocked, 1);
  EXPECT_EQ(record(kWindowBase, 1), ORUN_S3_STATUS_SUCCESS);
  OrunS3SaveCloseTableCallBack(nullptr, nullptr);
  EXPECT_EQ(core.failures().calls("CloseEvent"), closes) << "no event to close";
  EXPECT_EQ(shared()->TableClosed, 1) << "the table was handed off all the same";
  EXPECT_EQ(smm->calls().size(), 1u);
}

TEST_F(S3SaveLib, TheCloseTableNotifyOfAModuleWithoutSharedStateSaysSoAndStops) {
  failNext("AllocatePool");
  EXPECT_EQ(construct(), EFI_OUT_OF_RESOURCES);
  printService().clear();
  OrunS3SaveCloseTableCallBack(nullptr, nullptr);
  EXPECT_EQ(printed(), "OrunS3SaveCloseTableCallBack\nmOrunS3LibPrivateData is NULL\n");
}

TEST_F(S3SaveLib, FailedEventRegistrationsReturnUnsupportedWithThePcdAlreadySet) {
  failNext("CreateEvent");
  EXPECT_EQ(construct(), EFI_UNSUPPORTED);
  EXPECT_NE(core.pcdTokens()[214].value, 0u);
  EXPECT_EQ(printService().lines().back().text, "OrunS3SaveLib create BootScriptLock Event fail\n");
  EXPECT_EQ(assertions().back(), "mS3ScriptLockEvent != ((void *) 0)");
  UINT32 value = 1;
  EXPECT_EQ(S3SaveMemWrite(3, kWindowBase, &value), ORUN_S3_STATUS_ERROR) << "this module's view stays null";
  EXPECT_TRUE(gScript.empty());

  core.pcdTokens()[214].value = 0;
  harness::console().clear();
  failNext("CreateEventEx");
  EXPECT_EQ(construct(), EFI_UNSUPPORTED);
  EXPECT_EQ(printService().lines().back().text, "OrunS3SaveLib create CloseTable Event fail\n");
  EXPECT_EQ(assertions(), (std::vector<std::string>{"Status == 0"}));
  // The ready-to-lock notify stays armed and reaches the shared data.
  readyToLock();
  EXPECT_EQ(shared()->BootScriptLocked, 1);
}

TEST_F(S3SaveLib, ASecondModuleAdoptsThePrivateDataAndRecordsIntoTheSameTable) {
  recording();
  ASSERT_EQ(record(kWindowBase, 1), ORUN_S3_STATUS_SUCCESS);
  uint64_t sharedAddress = core.pcdTokens()[214].value;
  size_t events = core.events().size();
  printService().clear();
  // A constructor that finds the PCD set creates nothing.
  EXPECT_EQ(construct(), EFI_SUCCESS);
  EXPECT_EQ(core.pcdTokens()[214].value, sharedAddress);
  EXPECT_EQ(core.pcdWrites().size(), 1u);
  EXPECT_EQ(core.events().size(), events);
  EXPECT_TRUE(printService().lines().empty());
  EXPECT_EQ(record(kWindowBase + 4, 2), ORUN_S3_STATUS_SUCCESS);
  EXPECT_EQ(decoded().entries.size(), 2u);
}

// An adopting constructor owns no events: its destructor closes none, and
// the lock target it cleared is not set by a notify left from before.
TEST_F(S3SaveLib, AnAdoptingConstructorOwnsNoEventsAndNoLockTarget) {
  ASSERT_EQ(construct(), EFI_SUCCESS);
  ASSERT_EQ(construct(), EFI_SUCCESS);
  unsigned closes = core.failures().calls("CloseEvent");
  EXPECT_EQ(OrunS3SaveLibDestructor(image, core.systemTable()), EFI_SUCCESS);
  EXPECT_EQ(core.failures().calls("CloseEvent"), closes);
  readyToLock();
  ASSERT_EQ(core.events().size(), 2u);
  EXPECT_EQ(core.events()[0].notifies, 2u) << "the first constructor's notify ran, at registration and now";
  EXPECT_EQ(shared()->BootScriptLocked, 0);
  EXPECT_TRUE(assertions().empty());
}

TEST_F(S3SaveLib, TheDestructorReportsEventsThatWillNotClose) {
  ASSERT_EQ(construct(), EFI_SUCCESS);
  core.failures().add(
      sim::FailureRule{"CloseEvent", core.failures().calls("CloseEvent") + 1, EFI_INVALID_PARAMETER, {}});
  core.failures().add(
      sim::FailureRule{"CloseEvent", core.failures().calls("CloseEvent") + 2, EFI_INVALID_PARAMETER, {}});
  EXPECT_EQ(OrunS3SaveLibDestructor(image, core.systemTable()), EFI_SUCCESS);
  EXPECT_EQ(assertions(), (std::vector<std::string>{"Status == 0", "Status == 0"}));
}

TEST_F(S3SaveLib, ReadyToLockAlreadyInstalledLocksInsideTheConstructor) {
  readyToLock();
  ASSERT_EQ(construct(), EFI_SUCCESS);
  EXPECT_EQ(shared()->BootScriptLocked, 1);
  ASSERT_EQ(core.events().size(), 2u);
  EXPECT_TRUE(core.events()[0].closed) << "the lock notify closed itself";
  EXPECT_EQ(core.events()[0].notifies, 1u);
  EXPECT_FALSE(core.events()[1].closed) << "the hand-off waits for Ready to Boot";
  EXPECT_EQ(OrunS3SaveLibDestructor(image, core.systemTable()), EFI_SUCCESS);
  EXPECT_TRUE(core.events()[1].closed);
  EXPECT_TRUE(core.diagnostics().empty()) << core.diagnostics().front() << ": closed twice";
  EXPECT_TRUE(assertions().empty());
}

TEST_F(S3SaveLib, TheNotifyWaitsForTheProtocolAndTheDestructorClosesWhatIsOpen) {
  ASSERT_EQ(construct(), EFI_SUCCESS);
  EXPECT_EQ(shared()->BootScriptLocked, 0) << "the run at registration finds no protocol";
  ASSERT_EQ(core.events().size(), 2u);
  EXPECT_FALSE(core.events()[0].closed);
  EXPECT_EQ(core.events()[0].notifyTpl, static_cast<EFI_TPL>(TPL_CALLBACK));
  EXPECT_EQ(core.events()[1].notifyTpl, static_cast<EFI_TPL>(TPL_CALLBACK));
  EXPECT_EQ(core.events()[0].context, nullptr);
  S3ScriptLockNotify(nullptr, nullptr);
  EXPECT_EQ(shared()->BootScriptLocked, 0);
  EXPECT_EQ(OrunS3SaveLibDestructor(image, core.systemTable()), EFI_SUCCESS);
  EXPECT_TRUE(core.events()[0].closed);
  EXPECT_TRUE(core.events()[1].closed);
  EXPECT_EQ(core.pcdTokens()[214].value, address(shared())) << "the private data stays";
  readyToLock();
  EXPECT_EQ(shared()->BootScriptLocked, 0) << "the closed notify no longer runs";
  EXPECT_TRUE(assertions().empty());
}

TEST_F(S3SaveLib, ReadyToBootWithNothingRecordedSendsNothingTwice) {
  installSmm();
  recording();
  readyToBoot();
  readyToBoot();
  EXPECT_EQ(printed(), "OrunS3LibPrivateData allocation\nOrunS3SaveCloseTableCallBack\n"
                       "mOrunS3LibPrivateData is NULL\n");
  EXPECT_TRUE(smm->calls().empty());
  EXPECT_EQ(shared()->TableClosed, 0);
  EXPECT_EQ(core.events()[1].notifies, 1u);
  EXPECT_TRUE(core.events()[1].closed);
}

TEST_F(S3SaveLib, WithoutABufferTheTerminatorIsWrittenAndNothingIsSent) {
  installSmm();
  core.pcdTokens()[215].value = 0;
  recording();
  ASSERT_EQ(record(kWindowBase, 1), ORUN_S3_STATUS_SUCCESS);
  readyToBoot();
  EXPECT_EQ(assertions(), (std::vector<std::string>{"Buffer != ((void *) 0)"}));
  EXPECT_TRUE(smm->calls().empty());
  EXPECT_EQ(shared()->TableClosed, 0);
  EXPECT_TRUE(decoded().terminated);
  EXPECT_EQ(header()->NextOffset, 0x48u);
  EXPECT_EQ(tablesInPool().size(), 1u) << "the table is kept";
  EXPECT_EQ(record(kWindowBase, 2), ORUN_S3_STATUS_SUCCESS)
      << "still recording: the library stays in its state";
}

TEST_F(S3SaveLib, WithoutSmmCommunicationTheMessageIsReadyButNothingIsSent) {
  recording();
  ASSERT_EQ(record(kWindowBase, 1), ORUN_S3_STATUS_SUCCESS);
  readyToBoot();
  EXPECT_EQ(assertions(), (std::vector<std::string>{"Status == 0"}));
  EXPECT_EQ(printService().lines().back().text, "OrunS3SaveLib locate SmmCommunicationProtocol fail \n");
  EXPECT_EQ(shared()->TableClosed, 0);
  EXPECT_EQ(tablesInPool().size(), 1u);
  EXPECT_EQ(std::memcmp(commBuffer.data(), &gOrunS3SaveCommunicationGuid, 16), 0)
      << "written before the lookup";
}

TEST_F(S3SaveLib, TheHandOffSendsTheFortyByteMessageAndFreesTheTable) {
  installSmm();
  recording();
  ASSERT_EQ(record(kWindowBase + 0x100048, 0x12345678), ORUN_S3_STATUS_SUCCESS);
  uint64_t table = shared()->TableBase;
  readyToBoot();
  ASSERT_EQ(smm->calls().size(), 1u);
  const sim::SmmCommunicateCall &call = smm->calls()[0];
  EXPECT_TRUE(call.accepted) << call.reason;
  EXPECT_EQ(call.buffer, address(commBuffer.data()));
  EXPECT_EQ(call.commSize, 40u);
  std::vector<uint8_t> expected = {0xF0, 0x61, 0x40, 0x5C, 0x51, 0xD0, 0x43, 0x4F, 0xBC, 0x23, 0x5E,
                                   0x5E, 0x89, 0xB3, 0xCE, 0xC0, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00,
                                   0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  uint64_t privateData = address(shared());
  for (unsigned i = 0; i < 8; i++) {
    expected.push_back(static_cast<uint8_t>(privateData >> (8 * i)));
  }
  EXPECT_EQ(call.message, expected);
  std::vector<uint8_t> buffer(reinterpret_cast<uint8_t *>(commBuffer.data()),
                              reinterpret_cast<uint8_t *>(commBuffer.data()) + 48);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 40), expected);
  EXPECT_EQ(buffer[40], 0xAA) << "nothing past the 40 bytes";
  // As the handler saw it during the call.
  EXPECT_EQ(call.privateData->tableBase, table);
  EXPECT_EQ(call.decoded.nextOffset, 0x48u);
  EXPECT_TRUE(call.decoded.terminated) << "0xFFFF at 0x48";
  ASSERT_EQ(call.decoded.entries.size(), 1u);
  EXPECT_EQ(call.decoded.entries[0].offset, 0x30u);
  EXPECT_EQ(call.table.size(), 0x4004u);
  // Closed, and the table freed.
  EXPECT_EQ(shared()->TableClosed, 1);
  EXPECT_TRUE(tablesInPool().empty());
  EXPECT_TRUE(assertions().empty()) << harness::console();
  // Later records are dropped.
  EXPECT_EQ(record(kWindowBase, 1), ORUN_S3_STATUS_SUCCESS);
  EXPECT_TRUE(tablesInPool().empty());
  readyToBoot();
  EXPECT_EQ(smm->calls().size(), 1u) << "a second Ready to Boot does not hand off again";
  // Both events closed themselves: the destructor has nothing left to close.
  EXPECT_EQ(OrunS3SaveLibDestructor(image, core.systemTable()), EFI_SUCCESS);
  EXPECT_TRUE(core.diagnostics().empty()) << core.diagnostics().front();
  EXPECT_TRUE(assertions().empty()) << harness::console();
}

TEST_F(S3SaveLib, AHandOffWhoseEventWouldNotCloseStillRunsOnce) {
  installSmm();
  recording();
  ASSERT_EQ(record(kWindowBase + 0x100048, 0x12345678), ORUN_S3_STATUS_SUCCESS);
  failNext("CloseEvent");
  readyToBoot();
  ASSERT_EQ(smm->calls().size(), 1u);
  EXPECT_TRUE(smm->calls()[0].accepted) << smm->calls()[0].reason;
  EXPECT_EQ(shared()->TableClosed, 1);
  ASSERT_FALSE(core.events()[1].closed) << "the close was refused";
  size_t lines = printService().lines().size();

  // The group reaches the callback again: the table is gone, and nothing of
  // it may be read, written, sent or freed a second time.
  readyToBoot();
  EXPECT_EQ(core.events()[1].notifies, 2u);
  EXPECT_EQ(smm->calls().size(), 1u) << "handed off once";
  EXPECT_EQ(printService().lines().size(), lines) << printed();
  EXPECT_TRUE(core.diagnostics().empty()) << core.diagnostics().front();
  EXPECT_TRUE(assertions().empty()) << harness::console();
  EXPECT_TRUE(tablesInPool().empty());
  // The event that stayed open is the destructor's to close.
  EXPECT_EQ(OrunS3SaveLibDestructor(image, core.systemTable()), EFI_SUCCESS);
  EXPECT_TRUE(core.events()[1].closed);
  EXPECT_TRUE(core.diagnostics().empty()) << core.diagnostics().front();
}

} // namespace
