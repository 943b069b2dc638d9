// SPDX-License-Identifier: BSD-2-Clause-Patent
// The readers of what a user hands to dxesim: boards, S3 tables, matrices,
// the OVMF configuration made from a board, and the command line.
#include "Board/Board.h"
#include "Board/BoardPrint.h"
#include "Board/TomlText.h"
#include "Cli.h"
#include "ExitStatus.h"
#include "Explore/Matrix.h"
#include "FuzzTargets.h"
#include "Ovmf.h"
#include "Platform/S3Table.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

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
    // Printed (`dxesim board`), it reads back and prints the same text.
    std::string printed = sim::boardToml(board);
    try {
      if (sim::boardToml(sim::parseBoardToml(printed, "printed.toml")) != printed) {
        out.push_back("the printed board prints other text when read back:\n" + printed);
      }
    } catch (const sim::BoardError &error) {
      out.push_back(std::string("the printed board does not read back: ") + error.what() + "\n" + printed);
    }
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

namespace fuzz {

namespace {

// A finding when the message is not one printable line.
void checkMessage(const char *reader, std::string_view message, Findings &out) {
  if (message.empty() || !printable(message)) {
    out.push_back(
        fmt::format("{}: the error is not one printable line: {}", reader, dxesim::printable(message)));
  }
}

} // namespace

Findings matrixText(std::span<const uint8_t> input) {
  Findings out;
  std::string_view text(reinterpret_cast<const char *>(input.data()), input.size());
  // Beside the shipped matrices: `base = "../boards/reference.toml"` reads.
  const std::string source = std::string(KESH_SOURCE_DIR) + "/matrices/fuzz.toml";
  try {
    sim::explore::Matrix matrix = sim::explore::parseMatrixToml(text, source);
    size_t total = matrix.size();
    // The generated boards: the board reader's errors only, and a name that
    // is the matrix's own text.
    for (size_t index : {size_t{0}, total / 2, total - 1}) {
      auto combination = matrix.combination(index);
      std::string expected =
          sim::printableText(fmt::format("{}: {}", matrix.name, matrix.label(combination)));
      try {
        sim::Board board = sim::parseBoardToml(matrix.boardToml(combination), "case.toml");
        if (board.name != expected) {
          out.push_back(fmt::format("case {} is named \"{}\", not \"{}\"", index,
                                    dxesim::printable(board.name), dxesim::printable(expected)));
        }
      } catch (const sim::BoardError &error) {
        checkMessage("generated board", error.what(), out);
      }
    }
  } catch (const sim::BoardError &error) {
    checkMessage("matrix", error.what(), out);
  } catch (const std::exception &error) {
    out.push_back(std::string("an exception other than BoardError escaped: ") + error.what());
  }
  return out;
}

Findings ovmfConfig(std::span<const uint8_t> input) {
  Findings out;
  std::string_view text(reinterpret_cast<const char *>(input.data()), input.size());
  sim::Board board;
  try {
    board = sim::parseBoardToml(text, "/nonexistent-fuzz-dir/board.toml");
  } catch (const sim::BoardError &) {
    return out; // the board target judges the reader
  }
  try {
    dxesim::OvmfTwin twin = dxesim::makeOvmfTwin(board);
    if (!twin.refusals.empty()) {
      return out;
    }
    const KESH_OVMF_CONFIG &c = twin.config;
    if (c.AttributeCount > KESH_OVMF_MAX_ATTRIBUTES || c.StateCount > KESH_OVMF_MAX_STATES ||
        c.PortCount > KESH_OVMF_MAX_PORTS || c.PcdCount > KESH_OVMF_MAX_PCD ||
        c.StepCount > KESH_OVMF_MAX_STEPS) {
      out.push_back("a count of the configuration block is past its array");
    }
    for (uint32_t i = 0; i < std::min<uint32_t>(c.AttributeCount, KESH_OVMF_MAX_ATTRIBUTES); i++) {
      if (std::memchr(c.Attributes[i].Name, 0, KESH_OVMF_TEXT) == nullptr ||
          std::memchr(c.Attributes[i].Value, 0, KESH_OVMF_TEXT) == nullptr) {
        out.push_back(fmt::format("NVRAM attribute {} is not terminated in its field", i));
      }
    }
    // The twin is a board the simulator can build, and the block the same
    // bytes every time.
    sim::validateBoard(twin.board);
    dxesim::OvmfTwin again = dxesim::makeOvmfTwin(board);
    if (std::memcmp(&again.config, &c, sizeof(c)) != 0) {
      out.push_back("the configuration block differs between two runs");
    }
  } catch (const std::exception &error) {
    out.push_back(std::string("the twin of an accepted board threw: ") + error.what());
  }
  return out;
}

Findings commandLine(std::span<const uint8_t> input) {
  Findings out;
  // NUL-separated arguments after "dxesim".
  std::vector<std::string> arguments = {"dxesim"};
  std::string current;
  for (uint8_t byte : input) {
    if (byte == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(byte);
    }
  }
  if (!current.empty() || input.empty()) {
    arguments.push_back(current);
  }
  std::vector<const char *> argv;
  for (const std::string &argument : arguments) {
    argv.push_back(argument.c_str());
  }
  try {
    int status = dxesim::run(static_cast<int>(argv.size()), argv.data(), true);
    if (status != dxesim::kExitOk && status != dxesim::kExitUsage) {
      out.push_back(fmt::format("reading the command line gave exit status {}", status));
    }
  } catch (const std::exception &error) {
    out.push_back(std::string("an exception escaped the command line: ") + error.what());
  }
  return out;
}

} // namespace fuzz
