// SPDX-License-Identifier: BSD-2-Clause-Patent
// The S3 save table as the SMM replay handler reads it: an independent
// reading of the wire format (header, entries, terminator, end marker),
// strict about everything the handler relies on.
#pragma once

#include "Machine/PciMmioWindow.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

constexpr uint32_t kS3TableSignature = 0x5433534F; // "OS3T"
constexpr uint32_t kS3TableEndMarker = 0x01558844;
constexpr uint64_t kS3TableHeaderSize = 0x30;
constexpr uint16_t kS3TableTerminator = 0xFFFF;
constexpr uint16_t kS3MemWriteEntry = 3;
// Lengths the table can have: created at 0x4000 bytes, grown 0x400 at a time.
constexpr uint64_t kS3TableInitialLength = 0x4000;
constexpr uint64_t kS3TableGrowth = 0x400;

// Bytes of an entry of this type, or 0 for a type that does not exist.
unsigned s3EntrySize(uint16_t type);

struct S3TableEntry {
  uint64_t offset;
  uint16_t type;
  unsigned size;
  // The arguments as stored, in order (A1 to An).
  std::vector<uint64_t> arguments;
  // Type 3 inside the PCI configuration window: the register it writes.
  std::optional<PciRegisterAddress> configRegister;
  // Type 3: boot-script width (0 to 3), address, value.
  unsigned widthBytes() const { return arguments.empty() ? 0 : 1u << (arguments[0] & 3); }
};

struct S3TableDecode {
  bool valid = false;
  std::vector<std::string> problems; // why the handler would refuse it
  uint32_t signature = 0, version = 0;
  uint64_t tableLength = 0, nextOffset = 0;
  bool endMarker = false, terminated = false;
  std::vector<S3TableEntry> entries; // empty when decoded entry by entry
  uint64_t entryCount = 0;           // entries decoded, kept or not
};

// Problems listed at most: a hostile table can have one or two in each of
// millions of entries. The rest are counted in a last line.
constexpr size_t kMaxS3TableProblems = 100;

// `bytes` is the whole buffer: the data area and the end marker after it.
// A table still being recorded has no terminator yet.
S3TableDecode decodeS3Table(std::span<const uint8_t> bytes, bool requireTerminator = true);
// The same reading, each entry handed to `onEntry` in order and not kept:
// the memory it takes does not grow with the table.
S3TableDecode decodeS3Table(std::span<const uint8_t> bytes, bool requireTerminator,
                            const std::function<void(S3TableEntry &)> &onEntry);

// Names each type-3 address inside the window at `base` with `buses` buses
// as the configuration register it writes.
void locateConfigRegisters(S3TableDecode &table, uint64_t base, unsigned buses);
void locateConfigRegister(S3TableEntry &entry, uint64_t base, unsigned buses);

// "mem-write" for the one type this platform records; the others' meaning
// belongs to the SMM replay handler: "type-N".
std::string s3EntryTypeName(uint16_t type);

// "0x0030  type 3  width 32-bit  address 0x00000000E0100048  value 0x12345678"
std::string describeS3Entry(const S3TableEntry &entry);

} // namespace sim
