// SPDX-License-Identifier: BSD-2-Clause-Patent
// Width-coded register access and the die indirect registers, on the
// modelled host bridge, with this test's own S3 save instance recording
// what the capture path hands over.
#include "FirmwareHarness.h"
#include "Machine/DieRoot.h"
#include "Machine/Devices.h"
#include "Machine/Pci.h"

#include <Library/OrunS3SaveLib.h>
#include <Library/RegisterAccessLib.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Capture {
  UINT32 width;
  UINT64 address;
  UINT64 value;
};
struct TraceLine {
  UINT64 filter;
  std::string format;
  UINT32 address, width;
};
std::vector<Capture> gCaptures;
std::vector<TraceLine> gTraceLines;

} // namespace

// The S3 save instance this test links: it records, nothing more.
UINT32 EFIAPI S3SavePciWrite(IN UINT32 Width, IN UINT64 PciAddress, IN VOID *Buffer) {
  UINT64 value = 0;
  switch (Width) {
  case 1:
    value = *(UINT8 *)Buffer;
    break;
  case 2:
    value = *(UINT16 *)Buffer;
    break;
  case 3:
    value = *(UINT32 *)Buffer;
    break;
  case 4:
    value = *(UINT64 *)Buffer;
    break;
  default:
    break;
  }
  gCaptures.push_back({Width, PciAddress, value});
  return 0;
}

VOID EFIAPI S3SaveDebugPrint(IN UINT64 FilterFlags, IN CONST CHAR8 *Format, ...) {
  VA_LIST Marker;
  VA_START(Marker, Format);
  UINT32 address = VA_ARG(Marker, UINT32);
  UINT32 width = VA_ARG(Marker, UINT32);
  VA_END(Marker);
  gTraceLines.push_back({FilterFlags, Format, address, width});
}

namespace {

using sim::AccessKind;

class RegisterAccessTest : public ::testing::Test {
protected:
  void SetUp() override {
    gCaptures.clear();
    gTraceLines.clear();
    machine.mapIo(sim::PciHostBridge::kAddressPort, sim::PciHostBridge::kDataPort + 3, &bridge);
    machine.mapIo(sim::PostCodePorts::kCodePort, sim::PostCodePorts::kCodePort + 3, &postCodes);
    machine.mapIo(sim::PostCodePorts::kMarkerPort, sim::PostCodePorts::kMarkerPort + 1, &postCodes);
    // Every fatal stop returns: the debug environment answers.
    machine.setDebugEnvironmentAnswer(1);
    space.add({0x20, 0, 0});
    space.setHook({0x20, 0, 0}, &die);
    space.add({1, 2, 3});
  }

  std::vector<uint32_t> fatalCodes() const {
    std::vector<uint32_t> codes;
    for (const auto &stop : postCodes.fatalStops()) {
      codes.push_back(stop.code);
    }
    return codes;
  }

  // (write?, port, value) of every port access since the mark.
  std::vector<std::tuple<bool, uint64_t, uint64_t>> portsSince(size_t mark) const {
    std::vector<std::tuple<bool, uint64_t, uint64_t>> out;
    const auto &trace = machine.trace();
    for (size_t i = mark; i < trace.size(); i++) {
      if (trace[i].kind == AccessKind::IoWrite || trace[i].kind == AccessKind::IoRead) {
        out.emplace_back(trace[i].kind == AccessKind::IoWrite, trace[i].address, trace[i].value);
      }
    }
    return out;
  }

  sim::Machine machine;
  sim::PciConfigSpace space;
  sim::PciHostBridge bridge{machine, space};
  sim::PostCodePorts postCodes{machine};
  sim::DieRoot die{{{0x03101800, 0x00F0000F}}};
  harness::MachineBinding binding{machine};
};

constexpr UINT32 kReg = (1u << 20) | (2u << 15) | (3u << 12) | 0x40;

TEST_F(RegisterAccessTest, WidthCodesChooseTheAccessAndTheFlagAddsACapture) {
  UINT32 value = 0x11223344;
  for (UINT32 code : {1u, 2u, 3u}) {
    space.write32({1, 2, 3}, 0x40, 0);
    WritePciRegister(kReg, code, &value);
    UINT32 expected = code == 1 ? 0x44 : code == 2 ? 0x3344 : 0x11223344;
    EXPECT_EQ(space.read32({1, 2, 3}, 0x40), expected) << code;
    UINT32 read = 0xAAAAAAAA;
    ReadPciRegister(kReg, code, &read);
    EXPECT_EQ(read, code == 1   ? 0xAAAAAA44
                    : code == 2 ? 0xAAAA3344
                                : 0x11223344)
        << "only the width is stored";
  }
  EXPECT_TRUE(gCaptures.empty());

  for (UINT32 code : {0x81u, 0x82u, 0x83u}) {
    WritePciRegister(kReg, code, &value);
  }
  ASSERT_EQ(gCaptures.size(), 3u);
  EXPECT_EQ(gCaptures[0].width, 1u);
  EXPECT_EQ(gCaptures[0].value, 0x44u);
  EXPECT_EQ(gCaptures[2].width, 3u);
  EXPECT_EQ(gCaptures[2].address, kReg);
  ASSERT_EQ(gTraceLines.size(), 3u);
  EXPECT_EQ(gTraceLines[1].filter, 0x2000000u);
  EXPECT_EQ(gTraceLines[1].format, "  R S3 SAVE Script: Address 0x%08x, Width 0x%08x \n");
  EXPECT_EQ(gTraceLines[1].address, kReg);
  EXPECT_EQ(gTraceLines[1].width, 0x82u) << "the trace shows the code with its flag";
  EXPECT_TRUE(fatalCodes().empty());
  // Reads never record, whatever the flag.
  UINT32 read = 0;
  ReadPciRegister(kReg, 0x83, &read);
  EXPECT_EQ(gCaptures.size(), 3u);
}

TEST_F(RegisterAccessTest, SixtyFourBitAndUnknownCodesEndInTheirFatalStops) {
  UINT64 value = 0x0102030405060708ULL;
  size_t mark = machine.trace().size();
  WritePciRegister(kReg, 4, &value);
  WritePciRegister(kReg, 0x84, &value);
  UINT32 read = 0x5A5A5A5A;
  ReadPciRegister(kReg, 4, &read);
  EXPECT_EQ(read, 0x5A5A5A5Au) << "buffer untouched";
  EXPECT_EQ(GetWidthByteCount(5), 0);
  EXPECT_EQ(GetWidthByteCount(0x84), 8);
  EXPECT_EQ(fatalCodes(), (std::vector<uint32_t>{0xA10D0142, 0xA10D0142, 0xA10D0180, 0x00010679}));
  ASSERT_EQ(gCaptures.size(), 1u) << "0x84 is recorded before its fatal stop";
  EXPECT_EQ(gCaptures[0].width, 4u);
  EXPECT_EQ(gCaptures[0].value, value);
  for (const auto &[write, port, v] : portsSince(mark)) {
    EXPECT_FALSE(port >= 0xCF8 && port <= 0xCFF) << "no configuration access for a 64-bit code";
  }
}

TEST_F(RegisterAccessTest, EveryWidthCodeWithOrWithoutItsCaptureFlagHasItsByteCount) {
  const struct {
    UINT32 code;
    UINT8 bytes;
  } kCounts[] = {{1, 1}, {0x81, 1}, {2, 2}, {0x82, 2}, {3, 4}, {0x83, 4}, {4, 8}, {0x84, 8}};
  for (const auto &count : kCounts) {
    EXPECT_EQ(GetWidthByteCount(count.code), count.bytes) << "code 0x" << std::hex << count.code;
  }
  EXPECT_TRUE(fatalCodes().empty());
}

TEST_F(RegisterAccessTest, CodesOutsideTheCapturedRangeAreNeverCaptured) {
  UINT32 value = 1;
  for (UINT32 code : {0x80u, 0x80000083u, 0xFFFFFFFFu, 0u}) {
    WritePciRegister(kReg, code, &value);
  }
  EXPECT_TRUE(gCaptures.empty()) << "0x80 has no width; bit 31 makes a code negative";
  EXPECT_EQ(fatalCodes(), std::vector<uint32_t>(4, 0xA10D0142));
  WritePciRegister(kReg, 0x85, &value);
  ASSERT_EQ(gCaptures.size(), 1u) << "0x85 reaches the S3 library with width 5";
  EXPECT_EQ(gCaptures[0].width, 5u);
  EXPECT_EQ(fatalCodes().back(), 0xA10D0142u);
}

TEST_F(RegisterAccessTest, AnIndirectUpdateIsFourConfigurationAccessesInOrder) {
  size_t mark = machine.trace().size();
  UpdateIndirectRegister(0x20, 0x03101800, 0xFFFFFFFE, 0, 0);
  std::vector<std::tuple<bool, uint64_t, uint64_t>> data;
  for (const auto &access : portsSince(mark)) {
    if (std::get<1>(access) == 0xCF8 && std::get<0>(access) && std::get<2>(access) != 0) {
      data.push_back(access); // the address written for each access
    } else if (std::get<1>(access) == 0xCFC) {
      data.push_back(access);
    }
  }
  // address 0xB8, write index; address 0xB8, read data (0xBC); then again with the write.
  using A = std::tuple<bool, uint64_t, uint64_t>;
  std::vector<A> expected = {A{true, 0xCF8, 0x802000B8}, A{true, 0xCFC, 0x03101800},
                             A{true, 0xCF8, 0x802000BC}, A{false, 0xCFC, 0x00F0000F},
                             A{true, 0xCF8, 0x802000B8}, A{true, 0xCFC, 0x03101800},
                             A{true, 0xCF8, 0x802000BC}, A{true, 0xCFC, 0x00F0000E}};
  EXPECT_EQ(data, expected);
  EXPECT_EQ(die.indirect(0x03101800), 0x00F0000Eu);
  EXPECT_TRUE(gCaptures.empty());
}

TEST_F(RegisterAccessTest, OnlyACaptureRequestOfOneRecordsTheIndexThenTheValue) {
  UpdateIndirectRegister(0x20, 0x03101800, 0xFFFFFFFF, 0x10000, 2);
  EXPECT_TRUE(gCaptures.empty()) << "request 2 means no capture";
  UpdateIndirectRegister(0x120, 0x03101800, 0xFFFFFFFE, 1, 1);
  ASSERT_EQ(gCaptures.size(), 2u);
  EXPECT_EQ(gCaptures[0].width, 3u);
  EXPECT_EQ(gCaptures[0].address, (0x20u << 20) | 0xB8) << "only the low 8 bits of the bus";
  EXPECT_EQ(gCaptures[0].value, 0x03101800u);
  EXPECT_EQ(gCaptures[1].address, (0x20u << 20) | 0xBC);
  EXPECT_EQ(gCaptures[1].value, 0x00F1000Fu);
  ASSERT_EQ(gTraceLines.size(), 2u);
  EXPECT_EQ(gTraceLines[0].address, (0x20u << 20) | 0xB8);
  EXPECT_EQ(gTraceLines[0].width, 0x83u);
  EXPECT_EQ(gTraceLines[1].address, (0x20u << 20) | 0xBC);
  EXPECT_EQ(die.indirect(0x03101800), 0x00F1000Fu);
  UINT32 read = 0;
  ReadIndirectRegister(0x20, 0x03101800, &read);
  EXPECT_EQ(read, 0x00F1000Fu);
  EXPECT_EQ(gCaptures.size(), 2u) << "indirect reads are never recorded";
}

} // namespace
