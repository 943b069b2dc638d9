// SPDX-License-Identifier: BSD-2-Clause-Patent
// Pool, Stall, the memory helpers and the GCD memory-space services of the
// simulated DXE core.
#include "DxeTestSupport.h"

#include <Guid/DxeServices.h>

#include <cstring>

using namespace dxetest;

namespace {

class PoolTest : public DxeTest {};

TEST_F(PoolTest, AllocationsAreAlignedPatternedAndTrackedWithTheirOwner) {
  core.setCurrentImage("Driver");
  VOID *first = nullptr, *second = nullptr;
  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 13, &first), EFI_SUCCESS);
  core.setCurrentImage("Other");
  ASSERT_EQ(bs->AllocatePool(EfiRuntimeServicesData, 40, &second), EFI_SUCCESS);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 8, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(second) % 8, 0u);
  const auto *bytes = static_cast<const uint8_t *>(first);
  for (size_t i = 0; i < 13; i++) {
    EXPECT_EQ(bytes[i], 0xAF) << "byte " << i;
  }

  auto blocks = core.poolInUse();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].address, first);
  EXPECT_EQ(blocks[0].size, 13u);
  EXPECT_EQ(blocks[0].type, EfiBootServicesData);
  EXPECT_EQ(blocks[0].owner, "Driver");
  EXPECT_EQ(blocks[1].address, second);
  EXPECT_EQ(blocks[1].type, EfiRuntimeServicesData);
  EXPECT_EQ(blocks[1].owner, "Other");

  ASSERT_EQ(bs->FreePool(first), EFI_SUCCESS);
  blocks = core.poolInUse();
  ASSERT_EQ(blocks.size(), 1u) << "what is left is the leak";
  EXPECT_EQ(blocks[0].address, second);
  EXPECT_EQ(bs->FreePool(second), EFI_SUCCESS);
  EXPECT_TRUE(core.poolInUse().empty());
  EXPECT_TRUE(core.diagnostics().empty());
}

TEST_F(PoolTest, BadRequestsAreRefused) {
  VOID *buffer = reinterpret_cast<VOID *>(0x1);
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 8, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->AllocatePool(EfiConventionalMemory, 8, &buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->AllocatePool(EfiPersistentMemory, 8, &buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->AllocatePool(EfiMaxMemoryType, 8, &buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, size_t{1} << 40, &buffer), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(buffer, reinterpret_cast<VOID *>(0x1));
  EXPECT_TRUE(core.poolInUse().empty());
  // The enum cannot hold an OEM type: pass it raw, as another image would.
  using RawAllocatePool = EFI_STATUS(EFIAPI *)(UINT32, UINTN, VOID **);
  auto allocateRaw = reinterpret_cast<RawAllocatePool>(bs->AllocatePool);
  EXPECT_EQ(allocateRaw(0x70000001, 8, &buffer), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(hasDiagnostic("AllocatePool of OEM/OS memory type 0x70000001 is not modelled"));
  EXPECT_TRUE(core.poolInUse().empty());
}

TEST_F(PoolTest, FreeingWhatWasNotAllocatedIsReported) {
  VOID *block = nullptr;
  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 32, &block), EFI_SUCCESS);
  uint64_t onStack = 0;
  EXPECT_EQ(bs->FreePool(&onStack), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(hasDiagnostic("FreePool of unknown pointer"));
  EXPECT_EQ(bs->FreePool(static_cast<uint8_t *>(block) + 8), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(hasDiagnostic("FreePool of a pointer 8 bytes into a 32-byte block of DxeCore"));
  EXPECT_EQ(bs->FreePool(block), EFI_SUCCESS);
  EXPECT_EQ(bs->FreePool(block), EFI_INVALID_PARAMETER) << "double free";
  EXPECT_TRUE(
      hasDiagnostic("double free: FreePool of a 32-byte pool block of DxeCore that DxeCore freed before"));
  EXPECT_EQ(bs->FreePool(nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(core.diagnostics().size(), 4u);
}

TEST_F(PoolTest, WritesToAFreedBlockAreReportedOnceAtTheNextPoolCall) {
  core.setCurrentImage("Owner");
  VOID *block = nullptr;
  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 64, &block), EFI_SUCCESS);
  auto *bytes = static_cast<uint8_t *>(block);
  std::memset(bytes, 0x11, 64);
  core.setCurrentImage("Freer");
  ASSERT_EQ(bs->FreePool(block), EFI_SUCCESS);
  // Held back, untouched: code still reading it finds what it left.
  EXPECT_EQ(bytes[10], 0x11);
  ASSERT_NE(core.freedPoolBlock(reinterpret_cast<uintptr_t>(bytes) + 63), nullptr);
  EXPECT_EQ(core.freedPoolBlock(reinterpret_cast<uintptr_t>(bytes) + 63)->freedBy, "Freer");
  EXPECT_TRUE(core.diagnostics().empty());

  bytes[10] = 0x22;
  bytes[12] = 0x33;
  VOID *next = nullptr;
  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &next), EFI_SUCCESS);
  EXPECT_NE(next, block) << "a freed block is not handed out again while held back";
  ASSERT_EQ(core.diagnostics().size(), 1u);
  EXPECT_EQ(core.diagnostics()[0],
            "Freer: use after free: 2 byte(s) written from offset 0xA of a freed 64-byte "
            "pool block of Owner (freed by Freer)");
  core.checkFreedPool();
  EXPECT_EQ(core.diagnostics().size(), 1u) << "one write is reported once";
  bytes[63] = 0x44;
  core.checkFreedPool();
  ASSERT_EQ(core.diagnostics().size(), 2u);
  EXPECT_TRUE(hasDiagnostic("use after free: 1 byte(s) written from offset 0x3F"));
  bs->FreePool(next);
}

TEST_F(PoolTest, TheQuarantineIsBoundedAndChecksWhatItReleases) {
  std::vector<uint8_t *> blocks;
  for (size_t i = 0; i <= sim::DxeCore::kPoolQuarantineBlocks; i++) {
    VOID *block = nullptr;
    ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 16, &block), EFI_SUCCESS);
    blocks.push_back(static_cast<uint8_t *>(block));
  }
  ASSERT_EQ(bs->FreePool(blocks[0]), EFI_SUCCESS);
  blocks[0][3] = 0x99; // written after the free, before it leaves the quarantine
  EXPECT_NE(core.freedPoolBlock(reinterpret_cast<uintptr_t>(blocks[0])), nullptr);
  for (size_t i = 1; i < blocks.size(); i++) {
    ASSERT_EQ(bs->FreePool(blocks[i]), EFI_SUCCESS);
  }
  EXPECT_TRUE(hasDiagnostic("use after free: 1 byte(s) written from offset 0x3 of a freed 16-byte"));
  EXPECT_EQ(core.freedPoolBlock(reinterpret_cast<uintptr_t>(blocks[0])), nullptr) << "released, oldest first";
  EXPECT_NE(core.freedPoolBlock(reinterpret_cast<uintptr_t>(blocks[1])), nullptr);
  EXPECT_NE(core.freedPoolBlock(reinterpret_cast<uintptr_t>(blocks.back())), nullptr);
  EXPECT_EQ(bs->FreePool(blocks[1]), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(hasDiagnostic("double free: FreePool of a 16-byte pool block"));
}

class HelpersTest : public DxeTest {};

TEST_F(HelpersTest, StallAdvancesTheMachineClock) {
  uint64_t before = machine.nowNs();
  EXPECT_EQ(bs->Stall(250), EFI_SUCCESS);
  EXPECT_EQ(machine.nowNs() - before, 250'000u);
}

TEST_F(HelpersTest, CopyMemHandlesOverlapAndSetMemFills) {
  char text[] = "abcdefgh";
  bs->CopyMem(text + 2, text, 5);
  EXPECT_STREQ(text, "ababcdeh");
  bs->SetMem(text, 3, 'z');
  EXPECT_STREQ(text, "zzzbcdeh");
}

TEST_F(HelpersTest, CalculateCrc32IsTheStandardCrc) {
  char check[] = "123456789";
  UINT32 crc = 0;
  ASSERT_EQ(bs->CalculateCrc32(check, 9, &crc), EFI_SUCCESS);
  EXPECT_EQ(crc, 0xCBF43926u);
  // Every byte value, so every entry of a table-driven CRC takes part.
  std::vector<uint8_t> all(256);
  for (size_t i = 0; i < all.size(); i++) {
    all[i] = static_cast<uint8_t>(i);
  }
  ASSERT_EQ(bs->CalculateCrc32(all.data(), all.size(), &crc), EFI_SUCCESS);
  EXPECT_EQ(crc, 0x29058C73u);
  std::vector<uint8_t> descending;
  for (int round = 0; round < 3; round++) {
    for (int value = 255; value >= 0; value--) {
      descending.push_back(static_cast<uint8_t>(value));
    }
  }
  ASSERT_EQ(bs->CalculateCrc32(descending.data(), descending.size(), &crc), EFI_SUCCESS);
  EXPECT_EQ(crc, 0xBCDE63C3u);
  // Every length and starting offset against the bit-at-a-time definition,
  // so that each way eight-byte steps and the tail can meet is seen.
  auto bitwise = [](const uint8_t *bytes, size_t size) {
    uint32_t value = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; i++) {
      value ^= bytes[i];
      for (int bit = 0; bit < 8; bit++) {
        value = (value & 1u) != 0 ? (value >> 1) ^ 0xEDB88320u : value >> 1;
      }
    }
    return ~value;
  };
  std::vector<uint8_t> mixed(48);
  for (size_t i = 0; i < mixed.size(); i++) {
    mixed[i] = static_cast<uint8_t>(i * 37 + 11);
  }
  for (size_t start = 0; start < 8; start++) {
    for (size_t size = 1; start + size <= mixed.size(); size++) {
      ASSERT_EQ(bs->CalculateCrc32(mixed.data() + start, size, &crc), EFI_SUCCESS);
      EXPECT_EQ(crc, bitwise(mixed.data() + start, size)) << "offset " << start << ", " << size << " bytes";
    }
  }
  EXPECT_EQ(bs->CalculateCrc32(check, 0, &crc), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->CalculateCrc32(nullptr, 9, &crc), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->CalculateCrc32(check, 9, nullptr), EFI_INVALID_PARAMETER);
}

constexpr uint64_t kMiB = 0x100000;

class GcdTest : public DxeTest {
protected:
  DXE_SERVICES *ds = nullptr;
  int imageTag = 0, deviceTag = 0;
  EFI_HANDLE image = &imageTag;
  EFI_HANDLE device = &deviceTag;

  void SetUp() override {
    for (UINTN i = 0; i < st->NumberOfTableEntries; i++) {
      if (sim::sameGuid(st->ConfigurationTable[i].VendorGuid, gEfiDxeServicesTableGuid)) {
        ds = static_cast<DXE_SERVICES *>(st->ConfigurationTable[i].VendorTable);
      }
    }
    ASSERT_NE(ds, nullptr);
    ASSERT_EQ(ds->Hdr.Signature, DXE_SERVICES_SIGNATURE);
    // 1 MiB of memory-mapped I/O at 16 MiB, and a non-existent page after it.
    core.gcdAdd({16 * kMiB, kMiB, EFI_MEMORY_UC | EFI_MEMORY_RUNTIME, 0, EfiGcdMemoryTypeMemoryMappedIo,
                 nullptr, nullptr});
    core.gcdAdd({32 * kMiB, 0x1000, EFI_MEMORY_UC, 0, EfiGcdMemoryTypeNonExistent, nullptr, nullptr});
    core.gcdAdd({0, 8 * kMiB, EFI_MEMORY_UC | EFI_MEMORY_WB, EFI_MEMORY_WB, EfiGcdMemoryTypeSystemMemory,
                 nullptr, nullptr});
  }

  EFI_GCD_MEMORY_SPACE_DESCRIPTOR descriptor(uint64_t address) {
    EFI_GCD_MEMORY_SPACE_DESCRIPTOR d{};
    EXPECT_EQ(ds->GetMemorySpaceDescriptor(address, &d), EFI_SUCCESS);
    return d;
  }

  uint64_t total() const {
    uint64_t sum = 0;
    auto map = core.gcdMap();
    for (size_t i = 0; i < map.size(); i++) {
      sum += map[i].length;
      if (i > 0) {
        EXPECT_GE(map[i].base, map[i - 1].base + map[i - 1].length) << "sorted and non-overlapping";
      }
    }
    return sum;
  }
};

TEST_F(GcdTest, BoardRangesAreSortedAndOverlapsAreRejected) {
  auto map = core.gcdMap();
  ASSERT_EQ(map.size(), 3u);
  EXPECT_EQ(map[0].base, 0u);
  EXPECT_EQ(map[1].base, 16 * kMiB);
  EXPECT_EQ(map[2].base, 32 * kMiB);
  EXPECT_THROW(core.gcdAdd({16 * kMiB + kMiB - 1, 2, 0, 0, EfiGcdMemoryTypeReserved, nullptr, nullptr}),
               std::invalid_argument);
  EXPECT_THROW(core.gcdAdd({64 * kMiB, 0, 0, 0, EfiGcdMemoryTypeReserved, nullptr, nullptr}),
               std::invalid_argument);
  EXPECT_EQ(core.gcdMap().size(), 3u);
}

TEST_F(GcdTest, AllocateAtAnAddressSplitsTheRangeAndFreeMergesItBack) {
  EFI_PHYSICAL_ADDRESS base = 16 * kMiB + 0x4000;
  ASSERT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateAddress, EfiGcdMemoryTypeMemoryMappedIo, 12, 0x2000, &base,
                                    image, device),
            EFI_SUCCESS);
  EXPECT_EQ(base, 16 * kMiB + 0x4000);
  auto map = core.gcdMap();
  ASSERT_EQ(map.size(), 5u);
  EXPECT_EQ(map[1].base, 16 * kMiB);
  EXPECT_EQ(map[1].length, 0x4000u);
  EXPECT_EQ(map[2].base, 16 * kMiB + 0x4000);
  EXPECT_EQ(map[2].length, 0x2000u);
  EXPECT_EQ(map[2].image, image);
  EXPECT_EQ(map[3].base, 16 * kMiB + 0x6000);
  EXPECT_EQ(map[3].image, nullptr);
  EXPECT_EQ(total(), 9 * kMiB + 0x1000);

  auto d = descriptor(16 * kMiB + 0x5FFF);
  EXPECT_EQ(d.BaseAddress, 16 * kMiB + 0x4000);
  EXPECT_EQ(d.ImageHandle, image);
  EXPECT_EQ(d.DeviceHandle, device);
  EXPECT_EQ(d.GcdMemoryType, EfiGcdMemoryTypeMemoryMappedIo);
  EXPECT_EQ(d.Capabilities, EFI_MEMORY_UC | EFI_MEMORY_RUNTIME);

  ASSERT_EQ(ds->FreeMemorySpace(16 * kMiB + 0x4000, 0x2000), EFI_SUCCESS);
  EXPECT_EQ(core.gcdMap().size(), 3u);
  EXPECT_EQ(descriptor(16 * kMiB + 0x5000).Length, kMiB);
  EXPECT_EQ(ds->FreeMemorySpace(16 * kMiB + 0x4000, 0x2000), EFI_NOT_FOUND) << "not allocated any more";
}

TEST_F(GcdTest, AdjacentAllocationsOfOneOwnerMerge) {
  EFI_PHYSICAL_ADDRESS base = 16 * kMiB;
  ASSERT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateAddress, EfiGcdMemoryTypeMemoryMappedIo, 12, 0x1000, &base,
                                    image, device),
            EFI_SUCCESS);
  base = 16 * kMiB + 0x1000;
  ASSERT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateAddress, EfiGcdMemoryTypeMemoryMappedIo, 12, 0x1000, &base,
                                    image, device),
            EFI_SUCCESS);
  auto d = descriptor(16 * kMiB);
  EXPECT_EQ(d.Length, 0x2000u);
  EXPECT_EQ(d.ImageHandle, image);
  base = 16 * kMiB + 0x2000;
  ASSERT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateAddress, EfiGcdMemoryTypeMemoryMappedIo, 12, 0x1000, &base,
                                    image, nullptr),
            EFI_SUCCESS);
  EXPECT_EQ(descriptor(16 * kMiB).Length, 0x2000u) << "another device keeps its own range";
  EXPECT_EQ(core.gcdMap().size(), 5u);
  EXPECT_EQ(ds->FreeMemorySpace(16 * kMiB + 0x1000, 0x2000), EFI_SUCCESS) << "freeing may span ranges";
  EXPECT_EQ(descriptor(16 * kMiB).Length, 0x1000u);
  EXPECT_EQ(descriptor(16 * kMiB + 0x1000).Length, kMiB - 0x1000);
}

TEST_F(GcdTest, AllocateAtAnAddressRefusals) {
  EFI_PHYSICAL_ADDRESS base = 16 * kMiB;
  ASSERT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateAddress, EfiGcdMemoryTypeMemoryMappedIo, 0, 0x1000, &base,
                                    image, nullptr),
            EFI_SUCCESS);
  struct Case {
    const char *what;
    EFI_GCD_MEMORY_TYPE type;
    UINTN alignment;
    uint64_t address, length;
  };
  const Case notFound[] = {
      {"already allocated", EfiGcdMemoryTypeMemoryMappedIo, 0, 16 * kMiB, 0x1000},
      {"overlapping an allocation", EfiGcdMemoryTypeMemoryMappedIo, 0, 16 * kMiB - 0x1000, 0x2000},
      {"other memory type", EfiGcdMemoryTypeSystemMemory, 0, 16 * kMiB + 0x1000, 0x1000},
      {"outside the map", EfiGcdMemoryTypeMemoryMappedIo, 0, 20 * kMiB, 0x1000},
      {"running off the end of the range", EfiGcdMemoryTypeMemoryMappedIo, 0, 17 * kMiB - 0x1000, 0x2000},
      {"not on the alignment boundary", EfiGcdMemoryTypeMemoryMappedIo, 16, 16 * kMiB + 0x1000, 0x1000},
  };
  for (const auto &c : notFound) {
    EFI_PHYSICAL_ADDRESS address = c.address;
    EXPECT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateAddress, c.type, c.alignment, c.length, &address, image,
                                      nullptr),
              EFI_NOT_FOUND)
        << c.what;
  }
  EFI_PHYSICAL_ADDRESS address = 16 * kMiB + 0x1000;
  EXPECT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateAddress, EfiGcdMemoryTypeMemoryMappedIo, 0, 0x1000, nullptr,
                                    image, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateAddress, EfiGcdMemoryTypeMemoryMappedIo, 0, 0x1000,
                                    &address, nullptr, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateAddress, EfiGcdMemoryTypeMemoryMappedIo, 0, 0, &address,
                                    image, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(core.gcdMap().size(), 4u) << "refusals leave the map alone";
}

TEST_F(GcdTest, SearchesFindTheLowestOrHighestAlignedFit) {
  // Take the first page so the bottom-up search must skip it and align.
  EFI_PHYSICAL_ADDRESS base = 0;
  ASSERT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateAddress, EfiGcdMemoryTypeSystemMemory, 12, 0x1000, &base,
                                    image, nullptr),
            EFI_SUCCESS);
  base = 0;
  ASSERT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateAnySearchBottomUp, EfiGcdMemoryTypeSystemMemory, 16, 0x3000,
                                    &base, image, nullptr),
            EFI_SUCCESS);
  EXPECT_EQ(base, 0x10000u);
  base = 0;
  ASSERT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateAnySearchTopDown, EfiGcdMemoryTypeSystemMemory, 16, 0x3000,
                                    &base, image, nullptr),
            EFI_SUCCESS);
  EXPECT_EQ(base, 8 * kMiB - 0x10000);
  base = 4 * kMiB - 1;
  ASSERT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateMaxAddressSearchTopDown, EfiGcdMemoryTypeSystemMemory, 12,
                                    0x2000, &base, image, nullptr),
            EFI_SUCCESS);
  EXPECT_EQ(base, 4 * kMiB - 0x2000) << "the whole allocation lies at or below the limit";
  base = 0x12FFF;
  ASSERT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateMaxAddressSearchBottomUp, EfiGcdMemoryTypeSystemMemory, 12,
                                    0x1000, &base, image, nullptr),
            EFI_SUCCESS);
  EXPECT_EQ(base, 0x1000u);
  base = 0x1FFF;
  EXPECT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateMaxAddressSearchBottomUp, EfiGcdMemoryTypeSystemMemory, 12,
                                    0x1000, &base, image, nullptr),
            EFI_NOT_FOUND)
      << "everything below the limit is taken";
  base = 0;
  EXPECT_EQ(ds->AllocateMemorySpace(EfiGcdAllocateAnySearchBottomUp, EfiGcdMemoryTypeMemoryMappedIo, 0,
                                    2 * kMiB, &base, image, nullptr),
            EFI_NOT_FOUND)
      << "larger than any free range";
  EXPECT_EQ(total(), 9 * kMiB + 0x1000);
}

TEST_F(GcdTest, DescriptorOutsideTheMapOrWithoutAPlaceToWrite) {
  EFI_GCD_MEMORY_SPACE_DESCRIPTOR d{};
  EXPECT_EQ(ds->GetMemorySpaceDescriptor(8 * kMiB, &d), EFI_NOT_FOUND);
  EXPECT_EQ(ds->GetMemorySpaceDescriptor(0x1000, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(descriptor(8 * kMiB - 1).Attributes, EFI_MEMORY_WB);
}

TEST_F(GcdTest, SetAttributesSplitsAndRefusesWhatTheRangeCannotDo) {
  ASSERT_EQ(ds->SetMemorySpaceAttributes(16 * kMiB + 0x1000, 0x1000, EFI_MEMORY_UC | EFI_MEMORY_RUNTIME),
            EFI_SUCCESS);
  auto map = core.gcdMap();
  ASSERT_EQ(map.size(), 5u);
  EXPECT_EQ(map[2].base, 16 * kMiB + 0x1000);
  EXPECT_EQ(map[2].length, 0x1000u);
  EXPECT_EQ(map[2].attributes, EFI_MEMORY_UC | EFI_MEMORY_RUNTIME);
  EXPECT_EQ(map[1].attributes, 0u);
  EXPECT_EQ(map[3].attributes, 0u);
  EXPECT_EQ(total(), 9 * kMiB + 0x1000);

  EXPECT_EQ(ds->SetMemorySpaceAttributes(0x1000, 0x1000, EFI_MEMORY_RUNTIME), EFI_UNSUPPORTED)
      << "runtime is not among the system memory capabilities";
  EXPECT_EQ(ds->SetMemorySpaceAttributes(0x1000, 0x1000, EFI_MEMORY_WT), EFI_UNSUPPORTED);
  EXPECT_EQ(ds->SetMemorySpaceAttributes(32 * kMiB, 0x1000, EFI_MEMORY_UC), EFI_UNSUPPORTED)
      << "non-existent";
  EXPECT_EQ(ds->SetMemorySpaceAttributes(8 * kMiB - 0x1000, 0x2000, EFI_MEMORY_UC), EFI_NOT_FOUND)
      << "runs past the end of the map";
  EXPECT_EQ(ds->SetMemorySpaceAttributes(0x800, 0x1000, EFI_MEMORY_UC), EFI_INVALID_PARAMETER);
  EXPECT_EQ(ds->SetMemorySpaceAttributes(0x1000, 0x800, EFI_MEMORY_UC), EFI_INVALID_PARAMETER);
  EXPECT_EQ(ds->SetMemorySpaceAttributes(0x1000, 0, EFI_MEMORY_UC), EFI_INVALID_PARAMETER);
  EXPECT_EQ(core.gcdMap().size(), 5u);
}

TEST_F(GcdTest, SetAttributesAcrossSplitRangesAndBackToOne) {
  ASSERT_EQ(ds->SetMemorySpaceAttributes(0x2000, 0x1000, EFI_MEMORY_UC), EFI_SUCCESS);
  ASSERT_EQ(core.gcdMap().size(), 5u);
  ASSERT_EQ(ds->SetMemorySpaceAttributes(0, 8 * kMiB, EFI_MEMORY_WB), EFI_SUCCESS);
  EXPECT_EQ(core.gcdMap().size(), 3u);
  EXPECT_EQ(descriptor(0x2000).Length, 8 * kMiB);
}

TEST_F(GcdTest, AddMemorySpaceFillsGapsAndNonExistentRangesOnly) {
  EXPECT_EQ(ds->AddMemorySpace(EfiGcdMemoryTypeReserved, 8 * kMiB, kMiB, EFI_MEMORY_UC), EFI_SUCCESS);
  auto d = descriptor(8 * kMiB);
  EXPECT_EQ(d.GcdMemoryType, EfiGcdMemoryTypeReserved);
  EXPECT_EQ(d.Attributes, 0u);
  EXPECT_EQ(ds->AddMemorySpace(EfiGcdMemoryTypeReserved, 8 * kMiB + kMiB - 0x1000, 0x2000, EFI_MEMORY_UC),
            EFI_ACCESS_DENIED);
  EXPECT_EQ(ds->AddMemorySpace(EfiGcdMemoryTypeMemoryMappedIo, 32 * kMiB, 0x1000, EFI_MEMORY_UC),
            EFI_SUCCESS);
  EXPECT_EQ(descriptor(32 * kMiB).GcdMemoryType, EfiGcdMemoryTypeMemoryMappedIo);
  EXPECT_EQ(ds->AddMemorySpace(EfiGcdMemoryTypeNonExistent, 40 * kMiB, 0x1000, 0), EFI_INVALID_PARAMETER);
  EXPECT_EQ(ds->AddMemorySpace(EfiGcdMemoryTypeReserved, 40 * kMiB, 0, 0), EFI_INVALID_PARAMETER);
  EXPECT_EQ(ds->AddMemorySpace(EfiGcdMemoryTypeReserved, MAX_UINT64 - 0xFFF, 0x2000, 0), EFI_UNSUPPORTED);
  EXPECT_EQ(total(), 10 * kMiB + 0x1000);
}

TEST_F(GcdTest, MemorySpaceMapIsAPoolCopyOwnedByTheCaller) {
  core.setCurrentImage("Mapper");
  UINTN count = 0;
  EFI_GCD_MEMORY_SPACE_DESCRIPTOR *map = nullptr;
  ASSERT_EQ(ds->GetMemorySpaceMap(&count, &map), EFI_SUCCESS);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(map[1].BaseAddress, 16 * kMiB);
  EXPECT_EQ(map[1].GcdMemoryType, EfiGcdMemoryTypeMemoryMappedIo);
  EXPECT_EQ(map[2].GcdMemoryType, EfiGcdMemoryTypeNonExistent);
  auto blocks = core.poolInUse();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].address, map);
  EXPECT_EQ(blocks[0].owner, "Mapper");
  EXPECT_EQ(blocks[0].size, 3 * sizeof(EFI_GCD_MEMORY_SPACE_DESCRIPTOR));
  EXPECT_EQ(bs->FreePool(map), EFI_SUCCESS);
  EXPECT_EQ(ds->GetMemorySpaceMap(nullptr, &map), EFI_INVALID_PARAMETER);
}

} // namespace
