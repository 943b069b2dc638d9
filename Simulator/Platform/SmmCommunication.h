// SPDX-License-Identifier: BSD-2-Clause-Patent
// The PI SMM Communication protocol with the S3 replay handler behind it.
// During Communicate the handler checks the 40-byte hand-off message,
// follows the private data to the S3 save table, checks it and copies the
// entries out: the table is freed as soon as Communicate returns. Every
// pointer is checked against the memory the platform knows before it is
// read, so a malformed hand-off is refused with a reason, never a crash.
#pragma once

#include "Dxe/DxeCore.h"
#include "Machine/Machine.h"
#include "Platform/S3Table.h"

#include <Protocol/SmmCommunication.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// 5C4061F0-D051-4F43-BC23-5E5E89B3CEC0: the S3 replay handler's GUID.
extern const EFI_GUID kS3SaveCommunicationGuid;
constexpr size_t kS3SaveMessageSize = 40;

// What an address pointed into when a call came: the typed form of the
// names above, kept in the boot record.
struct MemoryRef {
  enum class Kind : uint8_t { CommunicationBuffer, Pool, FreedPool, Other };
  Kind kind = Kind::Other;
  uint64_t address = 0;
  size_t index = 0; // pool: the block's position among the blocks in use then
  uint64_t offset = 0, size = 0;
  std::string owner, freedBy;
};
// "pool[1]+0x0 (16388 bytes, S3ClientDxe)", "communication buffer+0x0", ...
std::string memoryRefName(const MemoryRef &ref);

struct S3PrivateData {
  uint64_t address = 0;
  uint8_t bootScriptLocked = 0, tableClosed = 0;
  uint64_t tableBase = 0;
};

struct SmmCommunicateCall {
  uint64_t buffer = 0;
  // Names of the buffer, the private data and the table when the call came.
  std::string bufferName, privateDataName, tableName;
  MemoryRef bufferRef;
  std::optional<MemoryRef> privateDataRef, tableRef;
  std::optional<uint64_t> commSize;
  std::vector<uint8_t> message; // the bytes of the buffer the handler could read (up to the message)
  EFI_STATUS status = EFI_SUCCESS;
  bool accepted = false;
  bool injected = false; // a failure rule failed the call; the handler never ran
  std::string reason;    // why it was refused
  std::optional<S3PrivateData> privateData;
  std::vector<uint8_t> table; // the table as handed off: data area and end marker
  S3TableDecode decoded;
  size_t traceIndex = 0;
};

class SmmCommunicationModel {
public:
  struct Region {
    uint64_t base, size;
  };
  // `platformBuffers`: memory the platform set aside outside pool (the
  // communication buffer), readable by the handler besides live pool.
  SmmCommunicationModel(DxeCore &core, Machine &machine, std::vector<Region> platformBuffers);
  EFI_SMM_COMMUNICATION_PROTOCOL *protocol() { return &iface_; }
  const std::vector<SmmCommunicateCall> &calls() const { return calls_; }
  // The type-3 entries of every accepted hand-off, in the order received.
  std::vector<S3TableEntry> replayEntries() const;
  const SmmCommunicateCall *lastAccepted() const;

private:
  static EFI_STATUS EFIAPI communicate(const EFI_SMM_COMMUNICATION_PROTOCOL *This, VOID *buffer, UINTN *size);
  bool readable(uint64_t address, uint64_t size) const;
  // Why [address, address + size) is not EfiRuntimeServicesData pool; nullopt when it is.
  std::optional<std::string> notRuntimePool(uint64_t address, uint64_t size) const;
  MemoryRef describe(uint64_t address) const;
  std::string name(uint64_t address) const { return memoryRefName(describe(address)); }
  // "use after free: <what> is freed pool+..." when the address lies in a
  // freed pool block, else empty.
  std::string useAfterFree(uint64_t address, std::string_view what) const;
  void handle(SmmCommunicateCall &call, const uint8_t *buffer, uint64_t size);

  EFI_SMM_COMMUNICATION_PROTOCOL iface_; // first: This is the model
  DxeCore &core_;
  Machine &machine_;
  std::vector<Region> platformBuffers_;
  std::vector<SmmCommunicateCall> calls_;
};

} // namespace sim
