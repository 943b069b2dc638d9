// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "S3Table.h"

#include <fmt/format.h>

#include <cstring>

namespace sim {

namespace {

struct Layout {
  unsigned size;
  // Offsets and widths (bytes) of A1..An; the rest of the entry is zero.
  std::vector<std::pair<unsigned, unsigned>> fields;
};

const Layout &layout(uint16_t type) {
  static const Layout kWide3{24, {{4, 4}, {8, 8}, {16, 8}}};
  static const Layout kWide4{32, {{4, 4}, {8, 8}, {16, 8}, {24, 8}}};
  static const Layout kWide5{40, {{4, 4}, {8, 8}, {16, 8}, {24, 8}, {32, 8}}};
  static const Layout kNarrow4{32, {{4, 4}, {8, 2}, {16, 8}, {24, 8}}};
  static const Layout kNarrow5{40, {{4, 4}, {8, 2}, {16, 8}, {24, 8}, {32, 8}}};
  static const Layout kNarrow6{48, {{4, 4}, {8, 2}, {16, 8}, {24, 8}, {32, 8}, {40, 8}}};
  static const Layout kPair{24, {{8, 8}, {16, 8}}};
  static const Layout kNone{0, {}};
  switch (type) {
  case 0:
  case 3:
    return kWide3;
  case 1:
  case 4:
    return kWide4;
  case 2:
  case 5:
    return kWide5;
  case 6:
    return kNarrow4;
  case 7:
    return kNarrow5;
  case 8:
    return kNarrow6;
  case 9:
    return kPair;
  default:
    return kNone;
  }
}

uint64_t little(std::span<const uint8_t> bytes, uint64_t offset, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; i++) {
    value |= static_cast<uint64_t>(bytes[offset + i]) << (8 * i);
  }
  return value;
}

} // namespace

unsigned s3EntrySize(uint16_t type) {
  return layout(type).size;
}

S3TableDecode decodeS3Table(std::span<const uint8_t> bytes, bool requireTerminator) {
  std::vector<S3TableEntry> entries;
  S3TableDecode out = decodeS3Table(bytes, requireTerminator,
                                    [&entries](S3TableEntry &entry) { entries.push_back(std::move(entry)); });
  out.entries = std::move(entries);
  return out;
}

namespace {

void decodeInto(S3TableDecode &out, std::span<const uint8_t> bytes, bool requireTerminator,
                const std::function<void(S3TableEntry &)> &onEntry,
                const std::function<void(std::string)> &problem) {
  if (bytes.size() < kS3TableHeaderSize) {
    problem(fmt::format("{} bytes cannot hold the 48-byte header", bytes.size()));
    return;
  }
  out.signature = static_cast<uint32_t>(little(bytes, 0, 4));
  out.version = static_cast<uint32_t>(little(bytes, 4, 4));
  out.tableLength = little(bytes, 0x20, 8);
  out.nextOffset = little(bytes, 0x28, 8);
  if (out.signature != kS3TableSignature) {
    problem(fmt::format("signature 0x{:08X} is not 0x{:08X} (\"OS3T\")", out.signature, kS3TableSignature));
  }
  if (out.version != 1) {
    problem(fmt::format("version {} is not 1", out.version));
  }
  for (unsigned i = 0x08; i < 0x20; i++) {
    if (bytes[i] != 0) {
      problem(fmt::format("reserved header byte 0x{:02X} is 0x{:02X}, not zero", i, bytes[i]));
      break;
    }
  }
  if (out.tableLength < kS3TableHeaderSize + 2) {
    problem(
        fmt::format("TableLength 0x{:X} cannot hold the 48-byte header and a terminator", out.tableLength));
    return;
  }
  // The library creates the table at 0x4000 bytes and grows it 0x400 at a time.
  if (out.tableLength < kS3TableInitialLength ||
      (out.tableLength - kS3TableInitialLength) % kS3TableGrowth != 0) {
    problem(
        fmt::format("TableLength 0x{:X} is not a length the table can have (0x4000 plus a multiple of 0x400)",
                    out.tableLength));
  }
  if (out.tableLength > bytes.size() - 4) {
    problem(fmt::format("TableLength 0x{:X} does not fit the {} bytes of the buffer with its end marker",
                        out.tableLength, bytes.size()));
    return;
  }
  out.endMarker = little(bytes, out.tableLength, 4) == kS3TableEndMarker;
  if (!out.endMarker) {
    problem(fmt::format("no end marker 0x{:08X} at TableLength 0x{:X} (found 0x{:08X})", kS3TableEndMarker,
                        out.tableLength, little(bytes, out.tableLength, 4)));
  }
  // Compared without adding to NextOffset, which may be anything up to 2^64 - 1.
  if (out.nextOffset < kS3TableHeaderSize || out.nextOffset > out.tableLength - 2) {
    problem(fmt::format("NextOffset 0x{:X} leaves no room for the terminator below TableLength 0x{:X}",
                        out.nextOffset, out.tableLength));
    return;
  }
  out.terminated = little(bytes, out.nextOffset, 2) == kS3TableTerminator;
  if (requireTerminator && !out.terminated) {
    problem(fmt::format("no terminator 0xFFFF at NextOffset 0x{:X}", out.nextOffset));
  }
  for (uint64_t at = kS3TableHeaderSize; at < out.nextOffset;) {
    uint16_t type = static_cast<uint16_t>(little(bytes, at, 2));
    const Layout &shape = layout(type);
    if (shape.size == 0) {
      problem(fmt::format("entry at 0x{:04X} has type {}, which does not exist", at, type));
      break;
    }
    if (at + shape.size > out.nextOffset) {
      problem(fmt::format("entry at 0x{:04X} (type {}, {} bytes) runs past NextOffset 0x{:X}", at, type,
                          shape.size, out.nextOffset));
      break;
    }
    S3TableEntry entry{at, type, shape.size, {}, std::nullopt};
    std::vector<bool> used(shape.size, false);
    used[0] = used[1] = true;
    for (const auto &[offset, width] : shape.fields) {
      entry.arguments.push_back(little(bytes, at + offset, width));
      for (unsigned i = 0; i < width; i++) {
        used[offset + i] = true;
      }
    }
    for (unsigned i = 0; i < shape.size; i++) {
      if (!used[i] && bytes[at + i] != 0) {
        problem(fmt::format("entry at 0x{:04X}: byte {} lies outside its fields and is 0x{:02X}, not zero",
                            at, i, bytes[at + i]));
        break;
      }
    }
    if (type == kS3MemWriteEntry && entry.arguments[0] > 3) {
      problem(fmt::format("entry at 0x{:04X}: boot-script width {} is not 0 to 3", at, entry.arguments[0]));
    }
    out.entryCount++;
    onEntry(entry);
    at += shape.size;
  }
}

} // namespace

S3TableDecode decodeS3Table(std::span<const uint8_t> bytes, bool requireTerminator,
                            const std::function<void(S3TableEntry &)> &onEntry) {
  S3TableDecode out;
  uint64_t unlisted = 0;
  decodeInto(out, bytes, requireTerminator, onEntry, [&out, &unlisted](std::string text) {
    if (out.problems.size() < kMaxS3TableProblems) {
      out.problems.push_back(std::move(text));
    } else {
      unlisted++;
    }
  });
  if (unlisted != 0) {
    out.problems.push_back(fmt::format("{} more problems not listed", unlisted));
  }
  out.valid = out.problems.empty();
  return out;
}

void locateConfigRegister(S3TableEntry &entry, uint64_t base, unsigned buses) {
  uint64_t size = uint64_t{buses} << 20;
  if (entry.type != kS3MemWriteEntry || entry.arguments.size() < 2) {
    return;
  }
  uint64_t address = entry.arguments[1];
  if (address >= base && address - base < size) {
    uint64_t offset = address - base;
    entry.configRegister = PciRegisterAddress{PciLocation{static_cast<uint8_t>(offset >> 20),
                                                          static_cast<uint8_t>((offset >> 15) & 0x1F),
                                                          static_cast<uint8_t>((offset >> 12) & 7)},
                                              static_cast<uint16_t>(offset & 0xFFF)};
  }
}

void locateConfigRegisters(S3TableDecode &table, uint64_t base, unsigned buses) {
  for (S3TableEntry &entry : table.entries) {
    locateConfigRegister(entry, base, buses);
  }
}

std::string s3EntryTypeName(uint16_t type) {
  return type == kS3MemWriteEntry ? "mem-write" : fmt::format("type-{}", type);
}

std::string describeS3Entry(const S3TableEntry &entry) {
  if (entry.type == kS3MemWriteEntry) {
    std::string where;
    if (entry.configRegister) {
      const PciLocation &l = entry.configRegister->location;
      where = fmt::format("  ({:02X}:{:02X}.{:X}+0x{:03X})", l.bus, l.device, l.function,
                          entry.configRegister->offset);
    }
    return fmt::format("0x{:04X}  mem-write  width {:>2}-bit  address 0x{:016X}  value 0x{:0{}X}{}",
                       entry.offset, entry.widthBytes() * 8, entry.arguments[1], entry.arguments[2],
                       entry.widthBytes() * 2, where);
  }
  std::string arguments;
  for (size_t i = 0; i < entry.arguments.size(); i++) {
    arguments += fmt::format("{}A{} 0x{:X}", i == 0 ? "" : "  ", i + 1, entry.arguments[i]);
  }
  return fmt::format("0x{:04X}  {}  {}", entry.offset, s3EntryTypeName(entry.type), arguments);
}

} // namespace sim
