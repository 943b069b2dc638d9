// SPDX-License-Identifier: BSD-2-Clause-Patent
// The GCD memory-space map and the DXE services over it. The map holds
// sorted, non-overlapping ranges; what lies between them is outside it.
// Ranges are split where an operation needs a boundary and merged again
// when neighbours become identical.
#include "Dxe/DxeImpl.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

namespace sim {

namespace {

constexpr uint64_t kPageMask = 0xFFF;

using Span = std::pair<size_t, size_t>; // [first, end) indices into the map

uint64_t lastOf(const GcdRange &range) {
  return range.base + (range.length - 1);
}

// A non-empty range that does not run past the top of the address space.
bool fits(uint64_t base, uint64_t length) {
  return length != 0 && length - 1 <= MAX_UINT64 - base;
}

bool overlaps(const GcdRange &range, uint64_t base, uint64_t last) {
  return range.base <= last && base <= lastOf(range);
}

bool sameKind(const GcdRange &a, const GcdRange &b) {
  return a.type == b.type && a.capabilities == b.capabilities && a.attributes == b.attributes &&
         a.image == b.image && a.device == b.device;
}

// The contiguous ranges covering every byte of [base, last], if the map does.
std::optional<Span> cover(const std::vector<GcdRange> &map, uint64_t base, uint64_t last) {
  size_t first = 0;
  while (first < map.size() && lastOf(map[first]) < base) {
    first++;
  }
  if (first == map.size() || map[first].base > base) {
    return std::nullopt;
  }
  for (size_t i = first; i < map.size(); i++) {
    if (i > first && map[i].base != lastOf(map[i - 1]) + 1) {
      return std::nullopt;
    }
    if (lastOf(map[i]) >= last) {
      return Span{first, i + 1};
    }
  }
  return std::nullopt;
}

void splitAt(std::vector<GcdRange> &map, uint64_t address) {
  for (size_t i = 0; i < map.size(); i++) {
    GcdRange &range = map[i];
    if (range.base < address && address <= lastOf(range)) {
      GcdRange upper = range;
      upper.base = address;
      upper.length = lastOf(range) - address + 1;
      range.length = address - range.base;
      map.insert(map.begin() + static_cast<std::ptrdiff_t>(i) + 1, upper);
      return;
    }
  }
}

void merge(std::vector<GcdRange> &map) {
  for (size_t i = 0; i + 1 < map.size();) {
    GcdRange &range = map[i];
    const GcdRange &next = map[i + 1];
    if (lastOf(range) + 1 == next.base && lastOf(range) != MAX_UINT64 && sameKind(range, next)) {
      range.length += next.length;
      map.erase(map.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    } else {
      i++;
    }
  }
}

// Splits so that [base, last] starts and ends on range boundaries; the
// caller has checked that the map covers it.
Span isolate(std::vector<GcdRange> &map, uint64_t base, uint64_t last) {
  splitAt(map, base);
  if (last != MAX_UINT64) {
    splitAt(map, last + 1);
  }
  return *cover(map, base, last);
}

bool validType(EFI_GCD_MEMORY_TYPE type) {
  return static_cast<UINT32>(type) < static_cast<UINT32>(EfiGcdMemoryTypeMaximum);
}

EFI_GCD_MEMORY_SPACE_DESCRIPTOR describe(const GcdRange &range) {
  return EFI_GCD_MEMORY_SPACE_DESCRIPTOR{range.base, range.length, range.capabilities, range.attributes,
                                         range.type, range.image,  range.device};
}

EFI_STATUS EFIAPI AddMemorySpaceService(EFI_GCD_MEMORY_TYPE type, EFI_PHYSICAL_ADDRESS base, UINT64 length,
                                        UINT64 capabilities) {
  auto &core = active();
  auto failed = core.enter("AddMemorySpace", TPL_NOTIFY);
  core.failures.noteSubject(fmt::format("0x{:X}+0x{:X}", base, length));
  if (failed) {
    return *failed;
  }
  if (!validType(type) || type == EfiGcdMemoryTypeNonExistent || length == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (!fits(base, length)) {
    return EFI_UNSUPPORTED;
  }
  uint64_t last = base + (length - 1);
  auto &map = core.gcd;
  for (const auto &range : map) {
    if (overlaps(range, base, last) && range.type != EfiGcdMemoryTypeNonExistent) {
      return EFI_ACCESS_DENIED;
    }
  }
  // Non-existent ranges in the way give way to the new one.
  splitAt(map, base);
  if (last != MAX_UINT64) {
    splitAt(map, last + 1);
  }
  map.erase(std::remove_if(map.begin(), map.end(),
                           [&](const GcdRange &range) { return overlaps(range, base, last); }),
            map.end());
  core.gcdInsert(GcdRange{base, length, capabilities, 0, type, nullptr, nullptr});
  return EFI_SUCCESS;
}

// The lowest (or highest) aligned start of `length` bytes inside one run of
// contiguous free ranges of `type`, ending at or below `limit`.
std::optional<uint64_t> search(const std::vector<GcdRange> &map, EFI_GCD_MEMORY_TYPE type, uint64_t alignMask,
                               uint64_t length, uint64_t limit, bool topDown) {
  std::vector<std::pair<uint64_t, uint64_t>> runs; // [first, last]
  for (const auto &range : map) {
    if (range.image != nullptr || range.type != type) {
      continue;
    }
    if (!runs.empty() && runs.back().second != MAX_UINT64 && runs.back().second + 1 == range.base) {
      runs.back().second = lastOf(range);
    } else {
      runs.push_back({range.base, lastOf(range)});
    }
  }
  std::optional<uint64_t> found;
  for (const auto &[first, last] : runs) {
    uint64_t top = std::min(last, limit);
    if (top < first || top - first < length - 1) {
      continue;
    }
    std::optional<uint64_t> candidate;
    if (topDown) {
      uint64_t start = (top - (length - 1)) & ~alignMask;
      if (start >= first) {
        candidate = start;
      }
    } else if (first <= MAX_UINT64 - alignMask) {
      uint64_t start = (first + alignMask) & ~alignMask;
      if (start <= top && top - start >= length - 1) {
        candidate = start;
      }
    }
    if (candidate && (!found || (topDown ? *candidate > *found : *candidate < *found))) {
      found = candidate;
    }
  }
  return found;
}

EFI_STATUS EFIAPI AllocateMemorySpaceService(EFI_GCD_ALLOCATE_TYPE allocateType, EFI_GCD_MEMORY_TYPE type,
                                             UINTN alignment, UINT64 length, EFI_PHYSICAL_ADDRESS *base,
                                             EFI_HANDLE image, EFI_HANDLE device) {
  auto &core = active();
  auto failed = core.enter("AllocateMemorySpace", TPL_NOTIFY);
  core.failures.noteSubject(allocateType == EfiGcdAllocateAddress && base != nullptr
                                ? fmt::format("0x{:X}+0x{:X}", *base, length)
                                : fmt::format("+0x{:X}", length));
  if (failed) {
    return *failed;
  }
  if (base == nullptr || image == nullptr || length == 0 || alignment >= 64 || !validType(type) ||
      static_cast<UINT32>(allocateType) >= static_cast<UINT32>(EfiGcdMaxAllocateType)) {
    return EFI_INVALID_PARAMETER;
  }
  uint64_t alignMask = (uint64_t{1} << alignment) - 1;
  auto &map = core.gcd;
  std::optional<uint64_t> start;
  switch (allocateType) {
  case EfiGcdAllocateAddress: {
    uint64_t wanted = *base;
    if ((wanted & alignMask) != 0 || !fits(wanted, length)) {
      return EFI_NOT_FOUND;
    }
    auto span = cover(map, wanted, wanted + (length - 1));
    if (!span) {
      return EFI_NOT_FOUND;
    }
    for (size_t i = span->first; i < span->second; i++) {
      if (map[i].image != nullptr || map[i].type != type) {
        return EFI_NOT_FOUND;
      }
    }
    start = wanted;
    break;
  }
  case EfiGcdAllocateAnySearchBottomUp:
    start = search(map, type, alignMask, length, MAX_UINT64, false);
    break;
  case EfiGcdAllocateMaxAddressSearchBottomUp:
    start = search(map, type, alignMask, length, *base, false);
    break;
  case EfiGcdAllocateAnySearchTopDown:
    start = search(map, type, alignMask, length, MAX_UINT64, true);
    break;
  case EfiGcdAllocateMaxAddressSearchTopDown:
    start = search(map, type, alignMask, length, *base, true);
    break;
  default:
    return EFI_INVALID_PARAMETER;
  }
  if (!start) {
    return EFI_NOT_FOUND;
  }
  auto span = isolate(map, *start, *start + (length - 1));
  for (size_t i = span.first; i < span.second; i++) {
    map[i].image = image;
    map[i].device = device;
  }
  merge(map);
  *base = *start;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FreeMemorySpaceService(EFI_PHYSICAL_ADDRESS base, UINT64 length) {
  auto &core = active();
  auto failed = core.enter("FreeMemorySpace", TPL_NOTIFY);
  core.failures.noteSubject(fmt::format("0x{:X}+0x{:X}", base, length));
  if (failed) {
    return *failed;
  }
  if (!fits(base, length)) {
    return EFI_INVALID_PARAMETER;
  }
  auto &map = core.gcd;
  uint64_t last = base + (length - 1);
  auto span = cover(map, base, last);
  if (!span) {
    return EFI_NOT_FOUND;
  }
  for (size_t i = span->first; i < span->second; i++) {
    if (map[i].image == nullptr) {
      return EFI_NOT_FOUND;
    }
  }
  auto isolated = isolate(map, base, last);
  for (size_t i = isolated.first; i < isolated.second; i++) {
    map[i].image = nullptr;
    map[i].device = nullptr;
  }
  merge(map);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetMemorySpaceDescriptorService(EFI_PHYSICAL_ADDRESS base,
                                                  EFI_GCD_MEMORY_SPACE_DESCRIPTOR *descriptor) {
  auto &core = active();
  auto failed = core.enter("GetMemorySpaceDescriptor", TPL_NOTIFY);
  core.failures.noteSubject(fmt::format("0x{:X}", base));
  if (failed) {
    return *failed;
  }
  if (descriptor == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto span = cover(core.gcd, base, base);
  if (!span) {
    return EFI_NOT_FOUND;
  }
  *descriptor = describe(core.gcd[span->first]);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetMemorySpaceAttributesService(EFI_PHYSICAL_ADDRESS base, UINT64 length,
                                                  UINT64 attributes) {
  auto &core = active();
  auto failed = core.enter("SetMemorySpaceAttributes", TPL_NOTIFY);
  core.failures.noteSubject(fmt::format("0x{:X}+0x{:X}", base, length));
  if (failed) {
    return *failed;
  }
  if ((base & kPageMask) != 0 || (length & kPageMask) != 0 || !fits(base, length)) {
    return EFI_INVALID_PARAMETER;
  }
  auto &map = core.gcd;
  uint64_t last = base + (length - 1);
  auto span = cover(map, base, last);
  if (!span) {
    return EFI_NOT_FOUND;
  }
  for (size_t i = span->first; i < span->second; i++) {
    if (map[i].type == EfiGcdMemoryTypeNonExistent || (attributes & ~map[i].capabilities) != 0) {
      return EFI_UNSUPPORTED;
    }
  }
  auto isolated = isolate(map, base, last);
  for (size_t i = isolated.first; i < isolated.second; i++) {
    map[i].attributes = attributes;
  }
  merge(map);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetMemorySpaceMapService(UINTN *count, EFI_GCD_MEMORY_SPACE_DESCRIPTOR **map) {
  auto &core = active();
  if (auto failed = core.enter("GetMemorySpaceMap", TPL_NOTIFY)) {
    return *failed;
  }
  if (count == nullptr || map == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  void *buffer = nullptr;
  size_t size = core.gcd.size() * sizeof(EFI_GCD_MEMORY_SPACE_DESCRIPTOR);
  if (EFI_ERROR(core.allocatePool(EfiBootServicesData, size, &buffer))) {
    return EFI_OUT_OF_RESOURCES;
  }
  auto *descriptors = static_cast<EFI_GCD_MEMORY_SPACE_DESCRIPTOR *>(buffer);
  for (size_t i = 0; i < core.gcd.size(); i++) {
    descriptors[i] = describe(core.gcd[i]);
  }
  *count = core.gcd.size();
  *map = descriptors;
  return EFI_SUCCESS;
}

} // namespace

void installGcdServices(DXE_SERVICES &dxe) {
  dxe.AddMemorySpace = &AddMemorySpaceService;
  dxe.AllocateMemorySpace = &AllocateMemorySpaceService;
  dxe.FreeMemorySpace = &FreeMemorySpaceService;
  dxe.GetMemorySpaceDescriptor = &GetMemorySpaceDescriptorService;
  dxe.SetMemorySpaceAttributes = &SetMemorySpaceAttributesService;
  dxe.GetMemorySpaceMap = &GetMemorySpaceMapService;
}

void DxeCore::Impl::gcdInsert(GcdRange range) {
  if (!fits(range.base, range.length)) {
    throw std::invalid_argument("GCD range is empty or runs past the top of the address space");
  }
  uint64_t last = range.base + (range.length - 1);
  for (const auto &existing : gcd) {
    if (overlaps(existing, range.base, last)) {
      throw std::invalid_argument("GCD range overlaps one already in the map");
    }
  }
  auto at = std::lower_bound(gcd.begin(), gcd.end(), range.base,
                             [](const GcdRange &existing, uint64_t base) { return existing.base < base; });
  gcd.insert(at, range);
  merge(gcd);
}

} // namespace sim
