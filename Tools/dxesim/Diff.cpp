// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Diff.h"

#include "Boot/Boot.h"
#include "Boot/Golden.h"
#include "Boot/RecordDiff.h"
#include "Cli.h"
#include "ExitStatus.h"
#include "Explore/BuildDiff.h"
#include "Host/BoundedFile.h"
#include "Host/OutputFile.h"
#include "Images/ImageLoader.h"

#include <fmt/format.h>

#include <iostream>

namespace dxesim {

namespace {

// A golden record of a few thousand accesses is well under a megabyte.
constexpr uint64_t kMaxRecordFileBytes = uint64_t{64} << 20;

bool isBoardFile(const std::string &path) {
  return path.size() > 5 && path.compare(path.size() - 5, 5, ".toml") == 0;
}

sim::Board board(const std::string &path) {
  sim::Board loaded = path.empty() ? sim::referenceBoard() : sim::loadBoardFile(path);
  if (!path.empty()) {
    loaded.source = path; // as given, not as resolved
  }
  return loaded;
}

std::string imageOr(const std::string &image) {
  return image.empty() ? sim::defaultDriverImage() : image;
}

// A record file, or a board booted now.
nlohmann::json recordOf(const std::string &input, const std::string &image) {
  if (isBoardFile(input)) {
    return sim::explore::bootGolden(board(input), imageOr(image));
  }
  nlohmann::json record = nlohmann::json::parse(sim::readBoundedText(input, kMaxRecordFileBytes), nullptr,
                                                /*allow_exceptions=*/false);
  if (record.is_discarded()) {
    throw std::runtime_error(fmt::format("{}: not JSON", input));
  }
  if (!record.is_object() || record.value("format", 0) != sim::kGoldenFormat) {
    throw std::runtime_error(fmt::format("{}: not a golden record of format {} (dxesim record writes them)",
                                         input, sim::kGoldenFormat));
  }
  return record;
}

int diffBoards(const DiffCommandOptions &options) {
  bool differ = false;
  for (const std::string &path : options.inputs) {
    sim::Board b = board(path);
    sim::RecordDiff diff = sim::diffRecords(sim::explore::bootGolden(b, options.imageA),
                                            sim::explore::bootGolden(b, options.imageB));
    differ = differ || !diff.same();
    std::cout << fmt::format("-- {}: {}\n", path, diff.summary()) << sim::diffText(diff, options.lines);
  }
  return differ ? kExitViolation : kExitOk;
}

// Exit 1 when a case could not be booted, else 4 when the builds differ.
int printBuildDiff(const sim::explore::BuildDiffResult &result, size_t lines) {
  std::cout << sim::explore::buildDiffText(result, lines);
  if (!result.errors.empty()) {
    return kExitError;
  }
  return result.groups.empty() ? kExitOk : kExitViolation;
}

int diffMatrix(const DiffCommandOptions &options) {
  sim::explore::Matrix matrix = sim::explore::loadMatrixFile(options.matrix);
  sim::explore::MatrixOptions run;
  run.sample = options.sample;
  run.seed = options.seed.value_or(0);
  if (!options.strategy.empty()) {
    run.strategy = sim::explore::strategyFromName(options.strategy);
  }
  sim::explore::MatrixPlan plan = sim::explore::planMatrix(matrix, run);
  sim::explore::BuildDiffResult result = sim::explore::diffBuilds(
      matrix, plan, options.imageA, options.imageB, cores(options.jobs), options.limit);
  return printBuildDiff(result, options.lines);
}

int diffSweep(const DiffCommandOptions &options) {
  std::vector<sim::explore::BuildCase> cases = sim::explore::sweepCases(board(options.sweep), options.imageA);
  sim::explore::BuildDiffResult result = sim::explore::diffBuilds(
      cases.size(), [&cases](size_t id) { return cases[id]; }, options.imageA, options.imageB,
      cores(options.jobs));
  return printBuildDiff(result, options.lines);
}

} // namespace

CLI::App *addRecordSubcommand(CLI::App &app, RecordCommandOptions &options) {
  CLI::App *command = app.add_subcommand(
      "record", "Boot a board and write its behaviour as a golden record (canonical JSON): verdicts, console "
                "lines, hardware accesses, service calls and the state the boot left");
  command->add_option("BOARD", options.board, "Board file (default: the reference board)");
  command->add_option("-o,--output", options.out, "Write the record to this file (default: standard output)");
  command->add_option("--image", options.image,
                      "Host image of the driver (default: KeshInitDxe.so beside dxesim)");
  return command;
}

CLI::App *addDiffSubcommand(CLI::App &app, DiffCommandOptions &options) {
  CLI::App *command = app.add_subcommand(
      "diff", "Compare two golden records (a .toml board is booted for its record), or two driver images on "
              "boards, a board's single failures or a matrix: verdict changes first, then hardware accesses, "
              "console lines, service "
              "calls and the rest (exit 4 when the behaviour differs)");
  command->add_option("INPUT", options.inputs,
                      "Two records or boards; with --image-a and --image-b, the boards to boot with each");
  command->add_option("--image", options.image, "Host image the boards given as inputs boot with");
  command->add_option("--image-a", options.imageA, "The first driver image");
  command->add_option("--image-b", options.imageB, "The second driver image");
  command->add_option("--matrix", options.matrix,
                      "With --image-a and --image-b: every combination of this matrix");
  command->add_option(
      "--sweep", options.sweep,
      "With --image-a and --image-b: the board once per call the first image's boot makes, that "
      "call failing");
  command->add_option("--strategy", options.strategy, "Of the matrix: full, pairwise or t3");
  addCount(command, "--sample", options.sample, 1000000, "Of the matrix: N combinations of the full product");
  command->add_option_function<std::string>(
      "--seed",
      [&options](const std::string &text) { options.seed = parseNumber(text, "--seed", NumberUnit::None); },
      "Seed of the sample (default 0)");
  addCount(command, "--limit", options.limit, 1000000, "Of the matrix: only the first N combinations");
  addCount(command, "--jobs", options.jobs, kMaxJobs, "Boots at a time (default: every core)");
  addCount(command, "--lines", options.lines, 1000000,
           "Lines shown of each section of a difference (default 40)");
  return command;
}

void checkDiffOptions(const DiffCommandOptions &options) {
  bool images = !options.imageA.empty() || !options.imageB.empty();
  if (images && (options.imageA.empty() || options.imageB.empty())) {
    throw UsageError("--image-a and --image-b come together");
  }
  if (images && !options.image.empty()) {
    throw UsageError("--image: not with --image-a and --image-b, which say which image each side boots");
  }
  bool matrixOptions = !options.strategy.empty() || options.sample || options.seed || options.limit;
  if (!options.sweep.empty()) {
    if (!images) {
      throw UsageError("--sweep: only with --image-a and --image-b, the two builds it compares");
    }
    if (!options.matrix.empty() || !options.inputs.empty() || matrixOptions) {
      throw UsageError("--sweep: the boots are the board's; give no INPUT, --matrix or matrix options");
    }
    return;
  }
  if (!options.matrix.empty()) {
    if (!images) {
      throw UsageError("--matrix: only with --image-a and --image-b, the two builds it compares");
    }
    if (!options.inputs.empty()) {
      throw UsageError("--matrix: the boards are the matrix's; give no INPUT");
    }
    if (!options.strategy.empty() && !sim::explore::strategyFromName(options.strategy)) {
      throw UsageError(
          fmt::format("--strategy {}: expected full, pairwise or t3", printable(options.strategy)));
    }
    if (options.seed && !options.sample) {
      throw UsageError("--seed: only with --sample N, which it draws");
    }
    return;
  }
  if (matrixOptions) {
    throw UsageError("--strategy, --sample, --seed and --limit: only with --matrix");
  }
  if (images) {
    if (options.inputs.empty()) {
      throw UsageError("--image-a and --image-b: name the boards (.toml) to boot with each, or --matrix");
    }
    for (const std::string &input : options.inputs) {
      if (!isBoardFile(input)) {
        throw UsageError(fmt::format("{}: with --image-a and --image-b, every INPUT is a board (.toml)",
                                     printable(input)));
      }
    }
    return;
  }
  if (options.inputs.size() != 2) {
    throw UsageError(fmt::format("diff compares two records or boards; {} given", options.inputs.size()));
  }
}

int recordCommand(const RecordCommandOptions &options) {
  std::string text =
      sim::canonicalJson(sim::explore::bootGolden(board(options.board), imageOr(options.image)));
  if (options.out.empty() || options.out == "-") {
    std::cout << text;
  } else {
    sim::writeOutput(options.out, text, "record");
  }
  return kExitOk;
}

int diffCommand(const DiffCommandOptions &options) {
  checkDiffOptions(options);
  // Once, before any boot: a missing image is the run's error, not every case's.
  if (!options.imageA.empty()) {
    sim::requireHostImage(options.imageA, "--image-a");
    sim::requireHostImage(options.imageB, "--image-b");
  }
  if (!options.matrix.empty()) {
    return diffMatrix(options);
  }
  if (!options.sweep.empty()) {
    return diffSweep(options);
  }
  if (!options.imageA.empty()) {
    return diffBoards(options);
  }
  sim::RecordDiff diff = sim::diffRecords(recordOf(options.inputs[0], options.image),
                                          recordOf(options.inputs[1], options.image));
  if (diff.same()) {
    std::cout << "-- the same behaviour\n";
    return kExitOk;
  }
  std::cout << fmt::format("-- {} and {} differ: {}\n", options.inputs[0], options.inputs[1], diff.summary())
            << sim::diffText(diff, options.lines);
  return kExitViolation;
}

} // namespace dxesim
