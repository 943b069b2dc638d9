// SPDX-License-Identifier: BSD-2-Clause-Patent
// Pool allocation with ownership tracking, Stall on the machine clock and
// the memory/CRC helpers of the boot services table.
#include "Dxe/DxeImpl.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace sim {

namespace {

// Fresh pool is filled with this so that code relying on zeroed memory fails.
constexpr uint8_t kFreshPoolByte = 0xAF;
// Larger requests fail as a real pool would on a small machine, and keep
// a runaway size from exhausting the host.
constexpr size_t kMaxPoolRequest = size_t{1} << 30;
constexpr std::align_val_t kPoolAlignment{16};
constexpr UINT32 kOemMemoryTypeFirst = 0x70000000;

// The enum cannot hold the OEM and OS ranges, so the value is read as bytes.
UINT32 rawType(const EFI_MEMORY_TYPE &type) {
  UINT32 raw;
  std::memcpy(&raw, &type, sizeof(raw));
  return raw;
}

EFI_STATUS EFIAPI AllocatePoolService(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
  auto &core = active();
  if (auto failed = core.enter("AllocatePool", TPL_NOTIFY)) {
    return *failed;
  }
  UINT32 raw = rawType(type);
  if (raw >= EfiMaxMemoryType) {
    // Valid on hardware, but a pool record could not carry the type.
    if (raw >= kOemMemoryTypeFirst) {
      core.diagnose(fmt::format("AllocatePool of OEM/OS memory type 0x{:08X} is not modelled", raw));
    }
    return EFI_INVALID_PARAMETER;
  }
  return core.allocatePool(type, size, buffer);
}

EFI_STATUS EFIAPI FreePoolService(VOID *buffer) {
  auto &core = active();
  if (auto failed = core.enter("FreePool", TPL_NOTIFY)) {
    return *failed;
  }
  return core.freePool(buffer);
}

EFI_STATUS EFIAPI StallService(UINTN microseconds) {
  auto &core = active();
  if (auto failed = core.enter("Stall", TPL_HIGH_LEVEL)) {
    return *failed;
  }
  core.machine.advance(static_cast<uint64_t>(microseconds) * 1000);
  return EFI_SUCCESS;
}

VOID EFIAPI CopyMemService(VOID *destination, VOID *source, UINTN length) {
  auto &core = active();
  core.enterCounted("CopyMem", TPL_HIGH_LEVEL);
  if (length != 0) {
    std::memmove(destination, source, length); // overlapping copies are allowed
  }
}

VOID EFIAPI SetMemService(VOID *buffer, UINTN size, UINT8 value) {
  auto &core = active();
  core.enterCounted("SetMem", TPL_HIGH_LEVEL);
  if (size != 0) {
    std::memset(buffer, value, size);
  }
}

EFI_STATUS EFIAPI CalculateCrc32Service(VOID *data, UINTN dataSize, UINT32 *crc) {
  auto &core = active();
  if (auto failed = core.enter("CalculateCrc32", TPL_HIGH_LEVEL)) {
    return *failed;
  }
  if (data == nullptr || crc == nullptr || dataSize == 0) {
    return EFI_INVALID_PARAMETER;
  }
  *crc = crc32(data, dataSize);
  return EFI_SUCCESS;
}

} // namespace

void installMemoryServices(EFI_BOOT_SERVICES &boot) {
  boot.AllocatePool = &AllocatePoolService;
  boot.FreePool = &FreePoolService;
  boot.Stall = &StallService;
  boot.CopyMem = &CopyMemService;
  boot.SetMem = &SetMemService;
  boot.CalculateCrc32 = &CalculateCrc32Service;
}

EFI_STATUS DxeCore::Impl::allocatePool(EFI_MEMORY_TYPE type, size_t size, void **buffer) {
  checkQuarantine();
  if (buffer == nullptr || type == EfiConventionalMemory || type == EfiPersistentMemory) {
    return EFI_INVALID_PARAMETER;
  }
  if (size > kMaxPoolRequest) {
    return EFI_OUT_OF_RESOURCES;
  }
  void *memory = ::operator new(size == 0 ? 1 : size, kPoolAlignment, std::nothrow);
  if (memory == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  std::memset(memory, kFreshPoolByte, size == 0 ? 1 : size);
  uint64_t seq = ++poolSeq;
  pool.emplace(seq, PoolBlock{memory, size, type, image});
  poolIndex.emplace(memory, seq);
  *buffer = memory;
  return EFI_SUCCESS;
}

EFI_STATUS DxeCore::Impl::freePool(void *buffer) {
  checkQuarantine();
  auto it = poolIndex.find(buffer);
  if (it == poolIndex.end()) {
    if (buffer == nullptr) {
      diagnose("FreePool of NULL");
      return EFI_INVALID_PARAMETER;
    }
    for (auto freed = quarantine.rbegin(); freed != quarantine.rend(); ++freed) {
      if (freed->block.address == buffer) {
        diagnose(fmt::format("double free: FreePool of a {}-byte pool block of {} that {} freed before",
                             freed->block.size, freed->block.owner, freed->freedBy));
        return EFI_INVALID_PARAMETER;
      }
    }
    auto address = reinterpret_cast<uintptr_t>(buffer);
    for (const auto &[seq, block] : pool) {
      auto first = reinterpret_cast<uintptr_t>(block.address);
      if (address > first && address < first + block.size) {
        diagnose(fmt::format("FreePool of a pointer {} bytes into a {}-byte block of {}", address - first,
                             block.size, block.owner));
        return EFI_INVALID_PARAMETER;
      }
    }
    diagnose("FreePool of unknown pointer (not an outstanding pool allocation)");
    return EFI_INVALID_PARAMETER;
  }
  auto block = pool.find(it->second);
  // Held back from reuse with its bytes as they are: code that still uses
  // the block finds what it left there, as on a machine whose pool has not
  // handed the memory out again, and its writes show at the next check.
  const auto *first = static_cast<const uint8_t *>(block->second.address);
  FreedPoolBlock freed{block->second, image, std::vector<uint8_t>(first, first + block->second.size)};
  quarantineBytes += freed.block.size;
  quarantine.push_back(std::move(freed));
  pool.erase(block);
  poolIndex.erase(it);
  while (quarantine.size() > DxeCore::kPoolQuarantineBlocks ||
         (quarantine.size() > 1 && quarantineBytes > DxeCore::kPoolQuarantineBytes)) {
    releaseOldestFreed();
  }
  return EFI_SUCCESS;
}

const FreedPoolBlock *DxeCore::Impl::freedBlock(uint64_t address) const {
  for (auto freed = quarantine.rbegin(); freed != quarantine.rend(); ++freed) {
    auto first = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(freed->block.address));
    if (address >= first && address < first + std::max<uint64_t>(freed->block.size, 1)) {
      return &*freed;
    }
  }
  return nullptr;
}

namespace {

// Reports the bytes written to a freed block since it was freed, then takes
// them as its new contents so that one write is reported once.
void checkFreed(DxeCore::Impl &core, FreedPoolBlock &freed) {
  auto *bytes = static_cast<uint8_t *>(freed.block.address);
  size_t first = freed.bytes.size(), changed = 0;
  for (size_t i = 0; i < freed.bytes.size(); i++) {
    if (bytes[i] != freed.bytes[i]) {
      first = std::min(first, i);
      changed++;
      freed.bytes[i] = bytes[i];
    }
  }
  if (changed != 0) {
    core.diagnose(fmt::format("use after free: {} byte(s) written from offset 0x{:X} of a freed {}-byte pool "
                              "block of {} (freed by {})",
                              changed, first, freed.block.size, freed.block.owner, freed.freedBy));
  }
}

} // namespace

void DxeCore::Impl::checkQuarantine() {
  for (auto &freed : quarantine) {
    checkFreed(*this, freed);
  }
}

void DxeCore::Impl::releaseOldestFreed() {
  FreedPoolBlock &oldest = quarantine.front();
  checkFreed(*this, oldest);
  quarantineBytes -= oldest.block.size;
  ::operator delete(oldest.block.address, kPoolAlignment);
  quarantine.pop_front();
}

} // namespace sim
