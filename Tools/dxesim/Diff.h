// SPDX-License-Identifier: BSD-2-Clause-Patent
// The `record` and `diff` subcommands: a boot's golden record, and what
// differs between two records, two driver images on the same boards, or
// two images over a matrix. diff exits 0 when the behaviour is the same,
// 4 when it differs.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

namespace dxesim {

struct RecordCommandOptions {
  std::string board; // empty: the reference board
  std::string out;   // empty or "-": standard output
  std::string image;
};

struct DiffCommandOptions {
  std::vector<std::string> inputs; // records (.json) or boards (.toml); boards alone with --image-a/-b
  std::string image;               // boards given as inputs boot with it
  std::string imageA, imageB;
  std::string matrix;
  std::string sweep; // a board: its single-failure boots
  std::string strategy;
  std::optional<size_t> limit, sample;
  std::optional<uint64_t> seed;
  size_t jobs = 0;
  size_t lines = 40; // per section of each difference shown
};

CLI::App *addRecordSubcommand(CLI::App &app, RecordCommandOptions &options);
CLI::App *addDiffSubcommand(CLI::App &app, DiffCommandOptions &options);
void checkDiffOptions(const DiffCommandOptions &options);
int recordCommand(const RecordCommandOptions &options);
int diffCommand(const DiffCommandOptions &options);

} // namespace dxesim
