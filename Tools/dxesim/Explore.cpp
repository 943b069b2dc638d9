// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore.h"

#include "Explore/Matrix.h"
#include "Explore/Sweep.h"

#include <fmt/format.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace dxesim {

namespace {

unsigned cores(unsigned asked) {
  return asked != 0 ? asked : std::max(1u, std::thread::hardware_concurrency());
}

void writeJson(const std::string &path, const nlohmann::json &json) {
  if (path == "-") {
    std::cout << json.dump(2) << '\n';
    return;
  }
  std::ofstream out(path);
  out << json.dump(2) << '\n';
  if (!out) {
    throw std::runtime_error(fmt::format("{}: cannot be written", path));
  }
}

// A progress line on a terminal only, so that logs stay clean.
void progress(bool quiet, size_t done, size_t total) {
  if (quiet || isatty(STDERR_FILENO) == 0) {
    return;
  }
  std::fprintf(stderr, "\r%zu/%zu", done, total);
  if (done == total) {
    std::fputs("\r\033[K", stderr);
  }
  std::fflush(stderr);
}

std::vector<std::string> splitList(const std::vector<std::string> &items) {
  std::vector<std::string> out;
  for (const std::string &item : items) {
    size_t start = 0;
    for (;;) {
      size_t comma = item.find(',', start);
      std::string part = item.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      if (!part.empty()) {
        out.push_back(part);
      }
      if (comma == std::string::npos) {
        break;
      }
      start = comma + 1;
    }
  }
  return out;
}

} // namespace

CLI::App *addSweepSubcommand(CLI::App &app, SweepCommandOptions &options) {
  CLI::App *command = app.add_subcommand(
      "sweep", "Boot a board once per firmware-service call its images make, failing that call alone, and "
               "judge each boot (exit 4 on a violation)");
  command->add_option("BOARD", options.board, "Board file (default: the reference board)");
  command->add_option("--json", options.json, "Also write the results as JSON to this file (- for stdout)");
  command->add_option("--status", options.statuses,
                      "SERVICE=STATUS: fail this service with this status instead of its default");
  command->add_option("--only", options.only, "SERVICE,...: fail only the calls of these services");
  command->add_option("--pairs", options.pairs, "SERVICE,...: also fail every pair of calls among these");
  command->add_option("--limit", options.limit, "At most this many pairs")->capture_default_str();
  command->add_option("--jobs", options.jobs, "Boots at a time (default: every core)");
  command->add_option("--timeout", options.timeout, "Seconds a boot may take before it counts as a hang")
      ->capture_default_str();
  command->add_option("--image", options.image,
                      "Host image of the driver (default: KeshInitDxe.so beside dxesim)");
  command->add_flag("--quiet", options.quiet, "No progress display");
  return command;
}

CLI::App *addMatrixSubcommand(CLI::App &app, MatrixCommandOptions &options) {
  CLI::App *command = app.add_subcommand(
      "matrix", "Boot every combination of a matrix file's axes on every core, group the boots by outcome "
                "and write the failing ones as board files (exit 4 on a failing boot)");
  command->add_option("SPEC", options.spec, "Matrix file (TOML, docs/MATRIX.md)")->required();
  command->add_option("--json", options.json, "Also write the outcomes as JSON to this file (- for stdout)");
  command->add_option("--out", options.out,
                      "Write each failing combination as a board file into this folder");
  command->add_option("--limit", options.limit, "Boot only the first N combinations");
  command->add_option("--sample", options.sample, "Boot N combinations spread evenly over the matrix");
  command->add_option("--threads", options.threads, "Boots at a time (default: every core)");
  command->add_option("--image", options.image,
                      "Host image of the driver (default: KeshInitDxe.so beside dxesim)");
  command->add_flag("--quiet", options.quiet, "No progress display");
  return command;
}

int sweepCommand(const SweepCommandOptions &options) {
  sim::Board board = options.board.empty() ? sim::referenceBoard() : sim::loadBoardFile(options.board);
  sim::explore::SweepOptions sweep;
  sweep.driverImage = options.image.empty() ? sim::defaultDriverImage() : options.image;
  for (const std::string &item : splitList(options.statuses)) {
    size_t equals = item.find('=');
    auto status = equals == std::string::npos ? std::nullopt : sim::statusFromName(item.substr(equals + 1));
    if (!status) {
      throw std::runtime_error(fmt::format("--status {}: expected SERVICE=STATUS with a status name", item));
    }
    sweep.statuses[item.substr(0, equals)] = *status;
  }
  sweep.only = splitList(options.only);
  sweep.pairs = splitList(options.pairs);
  sweep.pairLimit = options.limit;
  sweep.jobs = cores(options.jobs);
  sweep.timeout = std::chrono::seconds(options.timeout);
  sweep.progress = [&](size_t done, size_t total) { progress(options.quiet, done, total); };
  sim::explore::SweepResult result = sim::explore::runSweep(board, sweep);
  if (options.json != "-") {
    std::cout << sim::explore::sweepText(result);
  }
  if (!options.json.empty()) {
    writeJson(options.json, sim::explore::sweepJson(result));
  }
  return result.violations() != 0 ? kExitViolation : 0;
}

int matrixCommand(const MatrixCommandOptions &options) {
  sim::explore::Matrix matrix = sim::explore::loadMatrixFile(options.spec);
  sim::explore::MatrixOptions run;
  run.driverImage = options.image.empty() ? sim::defaultDriverImage() : options.image;
  run.threads = cores(options.threads);
  run.limit = options.limit;
  run.sample = options.sample;
  run.progress = [&](size_t done, size_t total) { progress(options.quiet, done, total); };
  sim::explore::MatrixResult result = sim::explore::runMatrix(matrix, run);
  if (options.json != "-") {
    std::cout << sim::explore::matrixText(result);
  }
  if (!options.out.empty()) {
    auto written = sim::explore::writeFailingBoards(matrix, result, options.out);
    if (options.json != "-") {
      std::cout << fmt::format("-- {} failing combination(s) written to {}\n", written.size(), options.out);
    }
  }
  if (!options.json.empty()) {
    writeJson(options.json, sim::explore::matrixJson(result));
  }
  return result.failures() != 0 ? kExitViolation : 0;
}

} // namespace dxesim
