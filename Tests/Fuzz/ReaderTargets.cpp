// SPDX-License-Identifier: BSD-2-Clause-Patent
// The two readers of files a user hands to dxesim: boards and S3 tables.
#include "Board/Board.h"
#include "FuzzTargets.h"
#include "Platform/S3Table.h"

#include <fmt/format.h>

namespace fuzz {

namespace {

bool printable(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      return false;
    }
  }
  return true;
}

} // namespace

Findings boardText(std::span<const uint8_t> input) {
  Findings out;
  std::string_view text(reinterpret_cast<const char *>(input.data()), input.size());
  // A directory that does not exist: `extends` reaches no file of the run's
  // working directory, only absolute paths and "reference".
  const std::string source = "/nonexistent-fuzz-dir/board.toml";
  try {
    sim::Board board = sim::parseBoardToml(text, source);
    // What the reader accepted is a board the simulator can build.
    sim::validateBoard(board);
  } catch (const sim::BoardError &error) {
    std::string_view message = error.what();
    if (message.empty() || !printable(message)) {
      std::string escaped;
      for (unsigned char c : message) {
        escaped += c < 0x20 || c == 0x7F ? fmt::format("\\x{:02X}", c) : std::string(1, static_cast<char>(c));
      }
      out.push_back("the error is not one printable line: " + escaped);
    }
  } catch (const std::exception &error) {
    out.push_back(std::string("an exception other than BoardError escaped: ") + error.what());
  }
  return out;
}

Findings s3Table(std::span<const uint8_t> input) {
  Findings out;
  for (bool requireTerminator : {true, false}) {
    sim::S3TableDecode table = sim::decodeS3Table(input, requireTerminator);
    // The entries decode the same in both passes: described once.
    for (const sim::S3TableEntry &entry :
         requireTerminator ? table.entries : std::vector<sim::S3TableEntry>{}) {
      (void)sim::describeS3Entry(entry);
    }
    if (table.valid != table.problems.empty()) {
      out.push_back("valid does not match the list of problems");
    }
    if (!table.valid) {
      continue;
    }
    // A table the handler would accept holds exactly what it says it holds.
    if (!table.endMarker || (requireTerminator && !table.terminated)) {
      out.push_back("valid without its end marker or terminator");
    }
    if (table.tableLength + 4 > input.size() || table.nextOffset + 2 > table.tableLength) {
      out.push_back("valid with lengths outside the buffer");
    }
    if ((table.tableLength - sim::kS3TableInitialLength) % sim::kS3TableGrowth != 0) {
      out.push_back(fmt::format("valid with TableLength 0x{:X}", table.tableLength));
    }
    uint64_t next = sim::kS3TableHeaderSize;
    for (const sim::S3TableEntry &entry : table.entries) {
      if (entry.offset != next || entry.size != sim::s3EntrySize(entry.type)) {
        out.push_back(fmt::format("entry at 0x{:X} does not follow the one before", entry.offset));
      }
      next = entry.offset + entry.size;
    }
    if (next != table.nextOffset) {
      out.push_back(fmt::format("entries end at 0x{:X}, NextOffset is 0x{:X}", next, table.nextOffset));
    }
  }
  return out;
}

} // namespace fuzz
