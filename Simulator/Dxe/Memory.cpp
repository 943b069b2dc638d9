// Pool allocation with ownership tracking, Stall on the machine clock and
// the memory/CRC helpers of the boot services table.
#include "Dxe/DxeImpl.h"

#include <fmt/format.h>

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
  auto it = poolIndex.find(buffer);
  if (it == poolIndex.end()) {
    if (buffer == nullptr) {
      diagnose("FreePool of NULL");
      return EFI_INVALID_PARAMETER;
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
  ::operator delete(block->second.address, kPoolAlignment);
  pool.erase(block);
  poolIndex.erase(it);
  return EFI_SUCCESS;
}

} // namespace sim
