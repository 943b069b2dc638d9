// SPDX-License-Identifier: BSD-2-Clause-Patent
// A saved table's JSON written entry by entry is the tree's dump to the
// byte, and a hostile table's problems stay a bounded list.
#include "Boot/S3Report.h"
#include "Platform/S3Table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct RawEntry {
  uint16_t type;
  std::vector<std::pair<unsigned, uint64_t>> fields; // offset in the entry, value (8 bytes)
};

std::vector<uint8_t> tableOf(const std::vector<RawEntry> &entries) {
  std::vector<uint8_t> bytes(0x4004, 0);
  auto put = [&bytes](size_t at, uint64_t value, unsigned width) { std::memcpy(&bytes[at], &value, width); };
  put(0, sim::kS3TableSignature, 4);
  put(4, 1, 4);
  put(0x20, 0x4000, 8);
  uint64_t next = 0x30;
  for (const RawEntry &entry : entries) {
    put(next, entry.type, 2);
    for (const auto &[offset, value] : entry.fields) {
      put(next + offset, value, offset == 4 ? 4 : 8);
    }
    next += sim::s3EntrySize(entry.type);
  }
  put(0x28, next, 8);
  put(next, 0xFFFF, 2);
  put(0x4000, sim::kS3TableEndMarker, 4);
  return bytes;
}

std::string streamed(const std::vector<uint8_t> &bytes, uint64_t window) {
  sim::S3TableDecode table = sim::decodeS3Table(bytes, true, [](sim::S3TableEntry &) {});
  nlohmann::json report = sim::s3TableJson(table);
  report["file"] = "t.bin";
  auto [before, after] = sim::s3TableJsonAround(report);
  std::string out = before;
  uint64_t count = 0;
  sim::decodeS3Table(bytes, true, [&](sim::S3TableEntry &entry) {
    sim::locateConfigRegister(entry, window, 256);
    out += (count++ == 0 ? "[\n" : ",\n") + sim::s3EntryJsonText(entry, "    ");
  });
  return out + (count == 0 ? "[]" : "\n  ]") + after;
}

TEST(S3TableJson, WrittenEntryByEntryItIsTheTreesDump) {
  const std::vector<std::vector<RawEntry>> cases = {
      {},
      {{3, {{4, 2}, {8, 0xE0219010}, {16, 0xC0DE0001}}}},                        // a register in the window
      {{3, {{4, 0}, {8, 0xFED80000}, {16, 0x5A}}}, {9, {{8, 1}, {16, 0xFFFF}}}}, // outside it; a pair
      {{8, {{4, 7}, {8, 0x1234}, {16, 1}, {24, 2}, {32, 3}, {40, 4}}}, {0, {}}},
      {{3, {{4, 9}, {8, 0xE0000000}, {16, 1}}}}, // a width the handler refuses: still shown
  };
  for (size_t i = 0; i < cases.size(); i++) {
    std::vector<uint8_t> bytes = tableOf(cases[i]);
    sim::S3TableDecode table = sim::decodeS3Table(bytes);
    sim::locateConfigRegisters(table, 0xE0000000, 256);
    nlohmann::json tree = sim::s3TableJson(table);
    tree["file"] = "t.bin";
    EXPECT_EQ(streamed(bytes, 0xE0000000), tree.dump(2)) << "case " << i;
  }
}

TEST(S3TableJson, AHostileTablesProblemsAreCountedBeyondTheListed) {
  // Every entry with a stray byte and a width out of range: two problems each.
  std::vector<RawEntry> entries(500, RawEntry{3, {{2, 1}, {4, 9}, {8, 1}, {16, 1}}});
  sim::S3TableDecode table = sim::decodeS3Table(tableOf(entries));
  EXPECT_FALSE(table.valid);
  EXPECT_EQ(table.entryCount, 500u);
  ASSERT_EQ(table.problems.size(), sim::kMaxS3TableProblems + 1);
  EXPECT_EQ(table.problems.back(), "900 more problems not listed");
}

} // namespace
