// SPDX-License-Identifier: BSD-2-Clause-Patent
// The S3 save platform's models on their own: the configuration window,
// the table reader, the SMM replay handler's checks, the debug-print
// service and the sleep and resume.
#include "Dxe/DxeCore.h"
#include "Machine/DieRoot.h"
#include "Machine/Machine.h"
#include "Machine/Pci.h"
#include "Machine/PciMmioWindow.h"
#include "Platform/DebugPrintService.h"
#include "Platform/S3Resume.h"
#include "Platform/S3Table.h"
#include "Platform/SmmCommunication.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <vector>

namespace {

using sim::PciLocation;

uint64_t address(const void *pointer) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer));
}

template <typename T> void put(std::vector<uint8_t> &bytes, size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

// A well-formed table: header, the given type-3 writes, terminator, marker.
std::vector<uint8_t> table(const std::vector<std::pair<uint64_t, uint32_t>> &writes,
                           uint64_t length = 0x4000) {
  std::vector<uint8_t> bytes(length + 4, 0);
  put<uint32_t>(bytes, 0, 0x5433534F);
  put<uint32_t>(bytes, 4, 1);
  put<uint64_t>(bytes, 0x20, length);
  uint64_t next = 0x30;
  for (const auto &[where, value] : writes) {
    put<uint16_t>(bytes, next, 3);
    put<uint32_t>(bytes, next + 4, 2);
    put<uint64_t>(bytes, next + 8, where);
    put<uint64_t>(bytes, next + 16, value);
    next += 24;
  }
  put<uint64_t>(bytes, 0x28, next);
  put<uint16_t>(bytes, next, 0xFFFF);
  put<uint32_t>(bytes, length, 0x01558844);
  return bytes;
}

TEST(PciMmioWindow, TheMsrPlacesAndSizesTheWindowOrLeavesItOff) {
  sim::PciConfigSpace space;
  EXPECT_FALSE(sim::PciMmioWindow::fromMsr(0xE0000020, space)) << "bit 0 clear";
  auto window = sim::PciMmioWindow::fromMsr(0x00000012345FFFE1ULL, space);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->base(), 0x0000001234500000ULL);
  EXPECT_EQ(window->buses(), 256u);
  EXPECT_EQ(window->size(), 256u << 20);
  EXPECT_EQ(sim::PciMmioWindow::fromMsr(0xE000000D, space)->buses(), 8u) << "n = 3";
  EXPECT_EQ(sim::PciMmioWindow::fromMsr(0xE000003D, space)->buses(), 256u) << "no bus past 255";
  auto reg = window->decode(0x0000001234500000ULL + 0x03101800 + 0x4C);
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->location, (PciLocation{0x31, 0x00, 1}));
  EXPECT_EQ(reg->offset, 0x84C);
  EXPECT_FALSE(window->decode(0x0000001234500000ULL + (256u << 20)));
  EXPECT_FALSE(window->decode(0x0000001234500000ULL - 1));
}

TEST(PciMmioWindow, ItReachesTheSameSpacesAsCf8AtEveryWidthAndTheExtendedRegisters) {
  sim::Machine machine;
  sim::PciConfigSpace space;
  space.add({1, 0, 0});
  space.add({0, 0x18, 4}); // extended access off: CF8 sees only 0x00-0xFF
  sim::PciHostBridge bridge(machine, space);
  machine.mapIo(0xCF8, 0xCFF, &bridge);
  auto window = *sim::PciMmioWindow::fromMsr(0xE0000021, space);
  machine.mapMmio(window.base(), window.size(), &window);
  const uint64_t function = 0xE0000000 + (1 << 20);

  machine.mmioWrite(function + 0x48, 4, 0x12345678);
  machine.ioWrite(0xCF8, 4, 0x80010048);
  EXPECT_EQ(machine.ioRead(0xCFC, 4), 0x12345678u) << "a window write is what CF8 reads";
  machine.ioWrite(0xCF8, 4, 0x80010040);
  machine.ioWrite(0xCFC, 4, 0xA1B2C3D4);
  EXPECT_EQ(machine.mmioRead(function + 0x40, 4), 0xA1B2C3D4u) << "and the other way round";
  EXPECT_EQ(machine.mmioRead(function + 0x41, 1), 0xC3u);
  EXPECT_EQ(machine.mmioRead(function + 0x42, 2), 0xA1B2u);
  machine.mmioWrite(function + 0x50, 8, 0x0123456789ABCDEFULL);
  EXPECT_EQ(space.read32({1, 0, 0}, 0x50), 0x89ABCDEFu);
  EXPECT_EQ(space.read32({1, 0, 0}, 0x54), 0x01234567u);
  EXPECT_EQ(machine.mmioRead(function + 0x50, 8), 0x0123456789ABCDEFULL);
  machine.mmioWrite(function + 0x104, 4, 0xCAFE);
  EXPECT_EQ(space.read32({1, 0, 0}, 0x104), 0xCAFEu) << "the window reaches all 4 KiB";
  EXPECT_EQ(machine.mmioRead(0xE0000000 + (2 << 20), 4), 0xFFFFFFFFu) << "an absent function";
  machine.mmioWrite(0xE0000000 + (2 << 20), 4, 0);
  EXPECT_FALSE(space.exists({2, 0, 0}));
  EXPECT_EQ(window.peek(function + 0x48, 4), 0x12345678u);
  EXPECT_FALSE(window.peek(0xE0000000 + (256u << 20) - 2, 4)) << "runs past the window";
}

TEST(PciMmioWindow, AnIndexDataPairSeesTheSameCyclesThroughTheWindowAsThroughCf8) {
  sim::Machine machine;
  sim::PciConfigSpace space;
  space.add({3, 0, 0});
  sim::DieRoot die({{sim::DieRoot::kSataPortDisable, 0x11}});
  space.setHook({3, 0, 0}, &die);
  auto window = *sim::PciMmioWindow::fromMsr(0xE0000021, space);
  machine.mapMmio(window.base(), window.size(), &window);
  const uint64_t root = 0xE0000000 + (3 << 20);
  machine.mmioWrite(root + sim::DieRoot::kIndex, 4, sim::DieRoot::kSataPortDisable);
  EXPECT_EQ(machine.mmioRead(root + sim::DieRoot::kData, 4), 0x11u);
  machine.mmioWrite(root + sim::DieRoot::kData, 4, 0x20);
  EXPECT_EQ(die.indirect(sim::DieRoot::kSataPortDisable), 0x20u);
  ASSERT_EQ(die.writes().size(), 1u) << "one dword write, not four byte writes";
  // A 64-bit access is the index dword, then the data dword.
  machine.mmioWrite(root + sim::DieRoot::kIndex, 8, (uint64_t{0x55} << 32) | 0x03101804);
  EXPECT_EQ(die.indirect(0x03101804), 0x55u);
}

TEST(S3Table, AWellFormedTableDecodesEntryByEntry) {
  auto bytes = table({{0xE0100048, 0x12345678}, {0xE0219010, 0xC0DE0001}});
  auto decoded = sim::decodeS3Table(bytes);
  EXPECT_TRUE(decoded.valid) << decoded.problems.front();
  EXPECT_EQ(decoded.tableLength, 0x4000u);
  EXPECT_EQ(decoded.nextOffset, 0x60u);
  EXPECT_TRUE(decoded.terminated && decoded.endMarker);
  ASSERT_EQ(decoded.entries.size(), 2u);
  EXPECT_EQ(decoded.entries[1].offset, 0x48u);
  EXPECT_EQ(decoded.entries[1].widthBytes(), 4u);
  EXPECT_EQ(sim::describeS3Entry(decoded.entries[0]),
            "0x0030  mem-write  width 32-bit  address 0x00000000E0100048  value 0x12345678");
  EXPECT_EQ(sim::s3EntrySize(8), 48u);
  EXPECT_EQ(sim::s3EntrySize(10), 0u);
}

TEST(S3Table, EveryDefectTheHandlerReliesOnIsNamed) {
  struct Case {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> damage;
    const char *problem;
  };
  const std::vector<Case> cases = {
      {"signature", [](auto &b) { b[3] = 'X'; }, "signature 0x5833534F"},
      {"version", [](auto &b) { put<uint32_t>(b, 4, 2); }, "version 2 is not 1"},
      {"reserved header", [](auto &b) { b[0x10] = 1; }, "reserved header byte 0x10"},
      {"marker", [](auto &b) { b[0x4001] = 0; }, "no end marker"},
      {"length", [](auto &b) { put<uint64_t>(b, 0x20, 0x8000); }, "does not fit"},
      {"length below the header", [](auto &b) { put<uint64_t>(b, 0x20, 0x20); },
       "TableLength 0x20 cannot hold the 48-byte header and a terminator"},
      {"length near 2^64", [](auto &b) { put<uint64_t>(b, 0x20, ~0ULL - 1); }, "is not a length the table"},
      // NextOffset + 2 wraps to 0 here: the check must not add to it.
      {"next offset near 2^64", [](auto &b) { put<uint64_t>(b, 0x28, ~0ULL - 1); },
       "NextOffset 0xFFFFFFFFFFFFFFFE leaves no room for the terminator"},
      {"next offset at the end", [](auto &b) { put<uint64_t>(b, 0x28, 0x3FFF); },
       "leaves no room for the terminator"},
      {"next offset", [](auto &b) { put<uint64_t>(b, 0x28, 0x3FFF); }, "leaves no room for the terminator"},
      {"terminator", [](auto &b) { b[0x48] = 0; }, "no terminator 0xFFFF at NextOffset 0x48"},
      {"unknown type", [](auto &b) { b[0x30] = 10; }, "has type 10, which does not exist"},
      {"short entry", [](auto &b) { put<uint64_t>(b, 0x28, 0x40), put<uint16_t>(b, 0x40, 0xFFFF); },
       "runs past NextOffset 0x40"},
      {"reserved entry byte", [](auto &b) { b[0x32] = 1; }, "byte 2 lies outside its fields"},
      {"width", [](auto &b) { b[0x34] = 4; }, "boot-script width 4 is not 0 to 3"},
  };
  for (const Case &c : cases) {
    auto bytes = table({{0xE0100048, 1}});
    c.damage(bytes);
    auto decoded = sim::decodeS3Table(bytes);
    EXPECT_FALSE(decoded.valid) << c.what;
    ASSERT_FALSE(decoded.problems.empty()) << c.what;
    EXPECT_NE(decoded.problems.front().find(c.problem), std::string::npos)
        << c.what << ": " << decoded.problems.front();
  }
  EXPECT_FALSE(sim::decodeS3Table(std::vector<uint8_t>(16, 0)).valid) << "shorter than a header";
  auto grown = table({{0xE0100048, 1}}, 0x4400);
  EXPECT_TRUE(sim::decodeS3Table(grown).valid) << "grown once";
  auto odd = sim::decodeS3Table(table({{0xE0100048, 1}}, 0x4100));
  EXPECT_FALSE(odd.valid);
  ASSERT_FALSE(odd.problems.empty());
  EXPECT_EQ(odd.problems.front(),
            "TableLength 0x4100 is not a length the table can have (0x4000 plus a multiple of 0x400)");
  auto live = table({{0xE0100048, 1}});
  live[0x48] = 0;
  EXPECT_TRUE(sim::decodeS3Table(live, false).valid) << "a table still being recorded has no terminator";
}

class SmmHandler : public ::testing::Test {
protected:
  void *allocate(size_t size) {
    void *buffer = nullptr;
    EXPECT_EQ(core.systemTable()->BootServices->AllocatePool(EfiRuntimeServicesData, size, &buffer),
              EFI_SUCCESS);
    std::memset(buffer, 0, size);
    return buffer;
  }
  // A hand-off as the library makes it, with its table in pool.
  void SetUp() override {
    std::memset(message, 0, sizeof(message));
    auto bytes = table({{0xE0100048, 0x12345678}});
    tableBuffer = static_cast<uint8_t *>(allocate(bytes.size()));
    std::memcpy(tableBuffer, bytes.data(), bytes.size());
    privateData = static_cast<uint8_t *>(allocate(16));
    privateData[0] = 1;
    uint64_t base = address(tableBuffer);
    std::memcpy(privateData + 8, &base, 8);
    std::memcpy(message, &sim::kS3SaveCommunicationGuid, 16);
    message[16] = 16;
    message[24] = 1;
    uint64_t data = address(privateData);
    std::memcpy(message + 32, &data, 8);
  }
  EFI_STATUS send(void *buffer, UINTN size) {
    return model.protocol()->Communicate(model.protocol(), buffer, &size);
  }
  const sim::SmmCommunicateCall &last() { return model.calls().back(); }

  sim::Machine machine;
  sim::DxeCore core{machine};
  uint8_t message[64] = {};
  sim::SmmCommunicationModel model{core, machine, {{address(message), sizeof(message)}}};
  uint8_t *tableBuffer = nullptr;
  uint8_t *privateData = nullptr;
};

TEST_F(SmmHandler, AWellFormedHandOffIsCopiedBeforeTheCallerFreesTheTable) {
  EXPECT_EQ(send(message, 40), EFI_SUCCESS);
  ASSERT_TRUE(last().accepted) << last().reason;
  EXPECT_EQ(last().bufferName, "communication buffer+0x0");
  EXPECT_EQ(last().privateDataName.rfind("pool[1]+0x0 (16 bytes", 0), 0u) << last().privateDataName;
  std::memset(tableBuffer, 0, 0x4004);
  ASSERT_EQ(model.replayEntries().size(), 1u);
  EXPECT_EQ(model.replayEntries()[0].arguments[1], 0xE0100048u);
  EXPECT_EQ(model.lastAccepted(), &last());
  EXPECT_EQ(std::vector<uint8_t>(message, message + 40), last().message);
}

TEST_F(SmmHandler, MalformedHandOffsAreRefusedWithAReasonNeverFollowed) {
  uint8_t stack[64] = {};
  struct Case {
    const char *what;
    std::function<EFI_STATUS()> send;
    EFI_STATUS status;
    const char *reason;
  };
  const std::vector<Case> cases = {
      {"null buffer", [&] { return send(nullptr, 40); }, EFI_INVALID_PARAMETER, "CommBuffer is NULL"},
      {"null size", [&] { return model.protocol()->Communicate(model.protocol(), message, nullptr); },
       EFI_INVALID_PARAMETER, "CommSize is NULL"},
      {"short size", [&] { return send(message, 16); }, EFI_BAD_BUFFER_SIZE, "cannot hold the 24-byte"},
      {"unknown memory", [&] { return send(stack, 40); }, EFI_INVALID_PARAMETER, "neither the communication"},
      {"size past the buffer", [&] { return send(message, 65); }, EFI_INVALID_PARAMETER,
       "neither the communication"},
      {"guid",
       [&] {
         message[0] ^= 1;
         return send(message, 40);
       },
       EFI_NOT_FOUND, "no SMM handler is registered"},
      {"length",
       [&] {
         message[16] = 8;
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "MessageLength is 8"},
      {"size below the message", [&] { return send(message, 32); }, EFI_BAD_BUFFER_SIZE,
       "shorter than the 40"},
      {"request",
       [&] {
         message[24] = 2;
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "request code 2"},
      {"reserved",
       [&] {
         message[28] = 1;
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "reserved field"},
      {"private data outside pool",
       [&] {
         uint64_t bogus = address(stack);
         std::memcpy(message + 32, &bogus, 8);
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "is not 16 bytes of live pool"},
      {"private data reserved",
       [&] {
         privateData[5] = 1;
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "reserved bytes of the private data"},
      {"not locked",
       [&] {
         privateData[0] = 0;
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "BootScriptLocked is 0"},
      {"closed",
       [&] {
         privateData[1] = 1;
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "TableClosed"},
      {"table outside pool",
       [&] {
         uint64_t bogus = address(stack);
         std::memcpy(privateData + 8, &bogus, 8);
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "does not hold a 48-byte header"},
      {"length past the block",
       [&] {
         uint64_t length = 0x4400;
         std::memcpy(tableBuffer + 0x20, &length, 8);
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "run past the table's pool block"},
      {"malformed table",
       [&] {
         tableBuffer[0x48] = 0;
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "the table is malformed: no terminator"},
      {"size above the message", [&] { return send(message, 48); }, EFI_BAD_BUFFER_SIZE,
       "CommSize 48 is larger than the 40-byte message"},
      {"private data in boot-services pool",
       [&] {
         void *moved = nullptr;
         core.systemTable()->BootServices->AllocatePool(EfiBootServicesData, 16, &moved);
         std::memcpy(moved, privateData, 16);
         uint64_t where = address(moved);
         std::memcpy(message + 32, &where, 8);
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "the private data is pool of memory type 4, not EfiRuntimeServicesData"},
      {"private data in the communication buffer",
       [&] {
         std::memcpy(message + 40, privateData, 16);
         uint64_t where = address(message + 40);
         std::memcpy(message + 32, &where, 8);
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "the private data is not in pool"},
      {"table in boot-services pool",
       [&] {
         void *moved = nullptr;
         core.systemTable()->BootServices->AllocatePool(EfiBootServicesData, 0x4004, &moved);
         std::memcpy(moved, tableBuffer, 0x4004);
         uint64_t where = address(moved);
         std::memcpy(privateData + 8, &where, 8);
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "the table is pool of memory type 4"},
      {"length no growth makes",
       [&] {
         auto odd = table({{0xE0100048, 1}}, 0x4100);
         auto *bigger = static_cast<uint8_t *>(allocate(odd.size()));
         std::memcpy(bigger, odd.data(), odd.size());
         uint64_t where = address(bigger);
         std::memcpy(privateData + 8, &where, 8);
         return send(message, 40);
       },
       EFI_INVALID_PARAMETER, "the table is malformed: TableLength 0x4100 is not a length"},
  };
  for (const Case &c : cases) {
    SetUp();
    EXPECT_EQ(c.send(), c.status) << c.what;
    EXPECT_FALSE(last().accepted) << c.what;
    EXPECT_NE(last().reason.find(c.reason), std::string::npos) << c.what << ": " << last().reason;
  }
  EXPECT_EQ(model.calls().size(), cases.size());
  EXPECT_EQ(model.lastAccepted(), nullptr);
  EXPECT_TRUE(model.replayEntries().empty());
}

// As the library calls it: its own variable arguments passed on as a VA_LIST.
VOID EFIAPI printThrough(DebugPrintSvcProtocol *service, UINT64 filter, const char *format, ...) {
  VA_LIST marker;
  VA_START(marker, format);
  service->DebugPrint(filter, format, marker);
  VA_END(marker);
}

TEST(DebugPrintService, PrintsTheEnabledFiltersAsTheFirmwarePrintLibraryFormats) {
  sim::DebugPrintServiceModel service(0x4000000000000ULL);
  EXPECT_THROW(sim::DebugPrintServiceModel second(0), std::logic_error) << "its member has no This";
  auto print = [&service](UINT64 filter, const char *format, auto... arguments) {
    printThrough(service.protocol(), filter, format, static_cast<UINT64>(arguments)...);
  };
  print(0x4000000000000ULL, "OrunS3SaveLib allocate new Pool fail %x\n", 0x4404);
  print(0x4000000000000ULL, "[%a] %d %u %08x %X %lx %-4d| %5d %r %c %%\n", address("name"), -3, 7, 0xBEEF,
        0xab, 0x123456789ULL, 12, 42, EFI_NOT_FOUND, 'Z');
  print(0x2000000ULL, "S3 capture %x\n", 1);
  ASSERT_EQ(service.lines().size(), 3u);
  EXPECT_EQ(service.lines()[0].text, "OrunS3SaveLib allocate new Pool fail 4404\n");
  EXPECT_EQ(service.lines()[1].text, "[name] -3 7 0000beef AB 123456789 12  |    42 Not Found Z %\n");
  EXPECT_FALSE(service.lines()[2].printed) << "filter 0x2000000 is not enabled";
  EXPECT_EQ(service.lines()[2].filter, 0x2000000u);
  EXPECT_EQ(service.printedText(), service.lines()[0].text + service.lines()[1].text);
}

TEST(S3Resume, TheReplayRestoresWhatTheTableHoldsAndNamesWhatItMisses) {
  sim::Machine machine;
  sim::PciConfigSpace space;
  space.add({1, 0, 0});
  auto window = *sim::PciMmioWindow::fromMsr(0xE0000021, space);
  machine.mapMmio(window.base(), window.size(), &window);
  const uint64_t function = 0xE0100000;
  // The boot: two writes to 0x40 (the second wins), one to 0x48, and 0x60
  // changed without being recorded.
  space.write32({1, 0, 0}, 0x00, 0x11111022); // as at power-on
  space.write32({1, 0, 0}, 0x40, 2);
  space.write32({1, 0, 0}, 0x48, 0x48);
  space.write32({1, 0, 0}, 0x60, 0x60);
  auto decoded =
      sim::decodeS3Table(table({{function + 0x40, 1}, {function + 0x48, 0x48}, {function + 0x40, 2}}));
  ASSERT_TRUE(decoded.valid);
  sim::S3ResumeModel model(machine, space, &window);
  model.snapshot(decoded.entries, {{1, 0, 0}});
  auto result = model.resume(decoded.entries, {{1, 0, 0}, {9, 0, 0}}, {{{1, 0, 0}, {{0x00, 0x11111022}}}});
  EXPECT_TRUE(result.ran);
  EXPECT_EQ(result.replayed, 3u);
  ASSERT_EQ(result.lost.size(), 1u) << "an absent function has nothing to lose";
  EXPECT_EQ(space.read32({1, 0, 0}, 0x00), 0x11111022u) << "power-on value";
  ASSERT_EQ(result.registers.size(), 2u);
  EXPECT_TRUE(result.registers[0].matches());
  EXPECT_EQ(*result.registers[0].afterResume, 2u) << "replayed in table order";
  EXPECT_TRUE(result.registers[1].matches());
  ASSERT_EQ(result.unrestored.size(), 1u);
  EXPECT_EQ(result.unrestored[0].offset, 0x60u);
  EXPECT_EQ(result.unrestored[0].beforeSleep, 0x60u);
  EXPECT_EQ(result.unrestored[0].afterResume, 0u);
  EXPECT_EQ(result.mismatches(), 1u);

  sim::Machine bare; // no window, and nothing else that decodes those addresses
  sim::S3ResumeModel blind(bare, space, nullptr);
  blind.snapshot(decoded.entries, {});
  auto unreachable = blind.resume(decoded.entries, {}, {});
  EXPECT_FALSE(unreachable.registers[0].matches()) << "without a window nothing can be compared";
  EXPECT_EQ(unreachable.mismatches(), 2u);
}

} // namespace
