// SPDX-License-Identifier: BSD-2-Clause-Patent
// The `sweep` and `matrix` subcommands of dxesim: their options, and the
// commands themselves. Exit status: 0 no violation, 4 a violation (a
// failing check, a crash, a sanitizer report, a halt or a hang), 1 error;
// a bad board file throws sim::BoardError (2).
#pragma once

#include "ExitStatus.h"
#include "Explore/Judge.h"
#include "Report/Suites.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dxesim {

struct SweepCommandOptions {
  std::string board; // empty: the built-in reference board
  std::string json;  // file, or "-" for standard output
  std::string image;
  std::vector<std::string> statuses; // SERVICE=STATUS
  std::vector<std::string> only;
  std::vector<std::string> pairs;
  size_t pairLimit = 500;
  std::string shard; // I/N; empty: from GTEST_SHARD_INDEX and GTEST_TOTAL_SHARDS, or the whole
  size_t jobs = 0;   // 0: every core
  size_t timeout = 30;
  bool quiet = false;
  std::string junit, markdown; // test reports: files, or "-" for standard output
  bool strict = false;         // unexpected warnings are violations; [expect] entries need a reason
};

struct MatrixCommandOptions {
  std::string spec;
  std::string json;
  std::string out;
  bool all = false; // --out writes every booted combination
  std::string image;
  std::optional<size_t> limit, sample;
  std::optional<uint64_t> seed; // of the sample
  std::string strategy;         // full, pairwise or t3; empty: the matrix file's
  size_t threads = 0;           // 0: every core
  std::string shard;            // as for the sweep
  bool quiet = false;
  std::string junit, markdown; // as for the sweep
  bool strict = false;         // as for the sweep; the base board's [expect] is checked
  // Keep the fewest combinations that reach all the driver code the run
  // reaches (booted through the driver's Edges image).
  bool minimise = false;
};

struct MergeCommandOptions {
  std::vector<std::string> files; // the shards' --json results
  std::string json;
};

// Declares the subcommand and its options on `app`; the options land in `options`.
CLI::App *addSweepSubcommand(CLI::App &app, SweepCommandOptions &options);
CLI::App *addMatrixSubcommand(CLI::App &app, MatrixCommandOptions &options);
CLI::App *addMergeSubcommand(CLI::App &app, MergeCommandOptions &options);

// What the options say, checked before any file is read (UsageError).
void checkSweepOptions(const SweepCommandOptions &options);
void checkMatrixOptions(const MatrixCommandOptions &options);

// Writes the JUnit XML and the Markdown summary of a run to the files
// named ("" for none), the run made only when one is asked for.
void writeTestReports(const std::string &junit, const std::string &markdown,
                      const std::function<sim::report::TestRun()> &run);

// Every boot is judged by the whole registry of checks.
int sweepCommand(const SweepCommandOptions &options);
int matrixCommand(const MatrixCommandOptions &options);
// The shards' results as one run's: its table, its JSON and its exit
// status; shards that are not one run are a bad input file (2).
int mergeCommand(const MergeCommandOptions &options);

} // namespace dxesim
