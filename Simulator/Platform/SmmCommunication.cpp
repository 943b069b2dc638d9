// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "SmmCommunication.h"

#include <fmt/format.h>

#include <cstring>

namespace sim {

const EFI_GUID kS3SaveCommunicationGuid = {
    0x5C4061F0, 0xD051, 0x4F43, {0xBC, 0x23, 0x5E, 0x5E, 0x89, 0xB3, 0xCE, 0xC0}};

namespace {

uint64_t little(const uint8_t *bytes, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; i++) {
    value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  }
  return value;
}

const uint8_t *at(uint64_t address) {
  return reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(address));
}

// Refusals the handler reports to its caller.
struct Refusal {
  EFI_STATUS status;
  std::string reason;
};

} // namespace

SmmCommunicationModel::SmmCommunicationModel(DxeCore &core, Machine &machine,
                                             std::vector<Region> platformBuffers)
    : iface_{communicate}, core_(core), machine_(machine), platformBuffers_(std::move(platformBuffers)) {}

bool SmmCommunicationModel::readable(uint64_t address, uint64_t size) const {
  if (address == 0 || address + size < address) {
    return false;
  }
  for (const Region &region : platformBuffers_) {
    if (address >= region.base && address + size <= region.base + region.size) {
      return true;
    }
  }
  for (const PoolBlock &block : core_.poolInUse()) {
    auto first = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(block.address));
    if (address >= first && address + size <= first + block.size) {
      return true;
    }
  }
  return false;
}

// SMM reaches only memory the OS leaves alone after boot: the library
// allocates its private data and table as EfiRuntimeServicesData pool.
std::optional<std::string> SmmCommunicationModel::notRuntimePool(uint64_t address, uint64_t size) const {
  for (const PoolBlock &block : core_.poolInUse()) {
    auto first = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(block.address));
    if (address >= first && address + size <= first + block.size) {
      if (block.type == EfiRuntimeServicesData) {
        return std::nullopt;
      }
      return fmt::format("is pool of memory type {}, not EfiRuntimeServicesData (6)",
                         static_cast<int>(block.type));
    }
  }
  return std::string("is not in pool (EfiRuntimeServicesData)");
}

MemoryRef SmmCommunicationModel::describe(uint64_t address) const {
  MemoryRef ref;
  ref.address = address;
  for (const Region &region : platformBuffers_) {
    if (address >= region.base && address < region.base + region.size) {
      ref.kind = MemoryRef::Kind::CommunicationBuffer;
      ref.offset = address - region.base;
      ref.size = region.size;
      return ref;
    }
  }
  auto pool = core_.poolInUse();
  for (size_t i = 0; i < pool.size(); i++) {
    auto first = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pool[i].address));
    if (address >= first && address < first + std::max<uint64_t>(pool[i].size, 1)) {
      ref.kind = MemoryRef::Kind::Pool;
      ref.index = i;
      ref.offset = address - first;
      ref.size = pool[i].size;
      ref.owner = pool[i].owner;
      return ref;
    }
  }
  if (const FreedPoolBlock *freed = core_.freedPoolBlock(address)) {
    ref.kind = MemoryRef::Kind::FreedPool;
    ref.offset = address - static_cast<uint64_t>(reinterpret_cast<uintptr_t>(freed->block.address));
    ref.size = freed->block.size;
    ref.owner = freed->block.owner;
    ref.freedBy = freed->freedBy;
  }
  return ref;
}

std::string memoryRefName(const MemoryRef &ref) {
  switch (ref.kind) {
  case MemoryRef::Kind::CommunicationBuffer:
    return fmt::format("communication buffer+0x{:X}", ref.offset);
  case MemoryRef::Kind::Pool:
    return fmt::format("pool[{}]+0x{:X} ({} bytes, {})", ref.index, ref.offset, ref.size, ref.owner);
  case MemoryRef::Kind::FreedPool:
    return fmt::format("freed pool+0x{:X} ({} bytes, {}, freed by {})", ref.offset, ref.size, ref.owner,
                       ref.freedBy);
  case MemoryRef::Kind::Other:
    break;
  }
  return fmt::format("0x{:X}", ref.address);
}

std::string SmmCommunicationModel::useAfterFree(uint64_t address, std::string_view what) const {
  if (core_.freedPoolBlock(address) == nullptr) {
    return "";
  }
  return fmt::format("use after free: {} is {}", what, name(address));
}

EFI_STATUS EFIAPI SmmCommunicationModel::communicate(const EFI_SMM_COMMUNICATION_PROTOCOL *This, VOID *buffer,
                                                     UINTN *size) {
  auto &model =
      *reinterpret_cast<SmmCommunicationModel *>(const_cast<EFI_SMM_COMMUNICATION_PROTOCOL *>(This));
  SmmCommunicateCall call;
  if (auto failed = platformServiceCall("SmmCommunication.Communicate")) {
    // Refused before the handler runs: nothing of the message is read.
    call.buffer = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(buffer));
    call.bufferRef = model.describe(call.buffer);
    call.bufferName = memoryRefName(call.bufferRef);
    call.traceIndex = model.machine_.trace().size();
    call.status = *failed;
    call.injected = true;
    call.reason = fmt::format("the SMM Communication protocol failed the call: {}", statusName(*failed));
    model.calls_.push_back(std::move(call));
    return *failed;
  }
  call.buffer = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(buffer));
  call.bufferRef = model.describe(call.buffer);
  call.bufferName = memoryRefName(call.bufferRef);
  call.traceIndex = model.machine_.trace().size();
  if (size != nullptr) {
    call.commSize = *size;
  }
  if (buffer == nullptr || size == nullptr) {
    call.status = EFI_INVALID_PARAMETER;
    call.reason = buffer == nullptr ? "CommBuffer is NULL" : "CommSize is NULL";
  } else {
    model.handle(call, static_cast<const uint8_t *>(buffer), *size);
  }
  model.calls_.push_back(std::move(call));
  return model.calls_.back().status;
}

void SmmCommunicationModel::handle(SmmCommunicateCall &call, const uint8_t *buffer, uint64_t size) {
  auto refuse = [&call](EFI_STATUS status, std::string reason) {
    call.status = status;
    call.reason = std::move(reason);
  };
  constexpr uint64_t kHeader = 24;
  if (size < kHeader) {
    return refuse(EFI_BAD_BUFFER_SIZE,
                  fmt::format("CommSize {} cannot hold the 24-byte communicate header", size));
  }
  if (!readable(call.buffer, size)) {
    return refuse(EFI_INVALID_PARAMETER,
                  fmt::format("the {} bytes at 0x{:X} are neither the communication buffer nor live pool",
                              size, call.buffer));
  }
  uint64_t messageLength = little(buffer + 16, 8);
  call.message.assign(buffer,
                      buffer + std::min<uint64_t>(size, kHeader + std::min<uint64_t>(messageLength, 4096)));
  if (call.message.size() >= kS3SaveMessageSize) {
    call.privateDataRef = describe(little(buffer + 32, 8));
    call.privateDataName = memoryRefName(*call.privateDataRef);
  }
  EFI_GUID guid;
  std::memcpy(&guid, buffer, sizeof(guid));
  if (!sameGuid(guid, kS3SaveCommunicationGuid)) {
    return refuse(EFI_NOT_FOUND, fmt::format("no SMM handler is registered for {}", guidToString(guid)));
  }
  if (messageLength != 16) {
    return refuse(EFI_INVALID_PARAMETER, fmt::format("MessageLength is {}, not 16", messageLength));
  }
  if (size < kHeader + messageLength) {
    return refuse(EFI_BAD_BUFFER_SIZE, fmt::format("CommSize {} is shorter than the 40-byte message", size));
  }
  if (size > kHeader + messageLength) {
    return refuse(EFI_BAD_BUFFER_SIZE, fmt::format("CommSize {} is larger than the 40-byte message", size));
  }
  uint32_t request = static_cast<uint32_t>(little(buffer + 24, 4));
  if (request != 1) {
    return refuse(EFI_INVALID_PARAMETER, fmt::format("request code {} is not 1 (replay the table)", request));
  }
  if (little(buffer + 28, 4) != 0) {
    return refuse(EFI_INVALID_PARAMETER, "the reserved field of the message is not zero");
  }

  S3PrivateData data;
  data.address = little(buffer + 32, 8);
  call.privateDataRef = describe(data.address);
  call.privateDataName = memoryRefName(*call.privateDataRef);
  if (auto freed = useAfterFree(data.address, "the private data"); !freed.empty()) {
    return refuse(EFI_INVALID_PARAMETER, freed);
  }
  if (!readable(data.address, 16)) {
    return refuse(EFI_INVALID_PARAMETER,
                  fmt::format("private data address 0x{:X} is not 16 bytes of live pool", data.address));
  }
  if (auto problem = notRuntimePool(data.address, 16)) {
    return refuse(EFI_INVALID_PARAMETER, "the private data " + *problem);
  }
  const uint8_t *privateBytes = at(data.address);
  data.bootScriptLocked = privateBytes[0];
  data.tableClosed = privateBytes[1];
  data.tableBase = little(privateBytes + 8, 8);
  call.privateData = data;
  call.tableRef = describe(data.tableBase);
  call.tableName = memoryRefName(*call.tableRef);
  for (unsigned i = 2; i < 8; i++) {
    if (privateBytes[i] != 0) {
      return refuse(EFI_INVALID_PARAMETER, "the reserved bytes of the private data are not zero");
    }
  }
  if (data.bootScriptLocked != 1) {
    return refuse(EFI_INVALID_PARAMETER, fmt::format("BootScriptLocked is {}, not 1", data.bootScriptLocked));
  }
  if (data.tableClosed != 0) {
    return refuse(EFI_INVALID_PARAMETER, "TableClosed is set: the table was handed off before");
  }
  if (auto freed = useAfterFree(data.tableBase, "TableBase"); !freed.empty()) {
    return refuse(EFI_INVALID_PARAMETER, freed);
  }
  if (!readable(data.tableBase, kS3TableHeaderSize)) {
    return refuse(
        EFI_INVALID_PARAMETER,
        fmt::format("TableBase 0x{:X} does not hold a 48-byte header in live pool", data.tableBase));
  }
  uint64_t tableLength = little(at(data.tableBase) + 0x20, 8);
  if (tableLength > (uint64_t{1} << 30) || !readable(data.tableBase, tableLength + 4)) {
    return refuse(
        EFI_INVALID_PARAMETER,
        fmt::format("TableLength 0x{:X} and its end marker run past the table's pool block", tableLength));
  }
  if (auto problem = notRuntimePool(data.tableBase, tableLength + 4)) {
    return refuse(EFI_INVALID_PARAMETER, "the table " + *problem);
  }
  // Copied now: the caller frees the table when this returns.
  call.table.assign(at(data.tableBase), at(data.tableBase) + tableLength + 4);
  call.decoded = decodeS3Table(call.table);
  if (!call.decoded.valid) {
    return refuse(EFI_INVALID_PARAMETER, "the table is malformed: " + call.decoded.problems.front());
  }
  call.accepted = true;
  call.status = EFI_SUCCESS;
}

std::vector<S3TableEntry> SmmCommunicationModel::replayEntries() const {
  std::vector<S3TableEntry> out;
  for (const SmmCommunicateCall &call : calls_) {
    if (!call.accepted) {
      continue;
    }
    for (const S3TableEntry &entry : call.decoded.entries) {
      if (entry.type == kS3MemWriteEntry) {
        out.push_back(entry);
      }
    }
  }
  return out;
}

const SmmCommunicateCall *SmmCommunicationModel::lastAccepted() const {
  for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
    if (it->accepted) {
      return &*it;
    }
  }
  return nullptr;
}

} // namespace sim
