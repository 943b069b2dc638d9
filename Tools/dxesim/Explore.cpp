// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore.h"

#include "Cli.h"
#include "Explore/Matrix.h"
#include "Explore/MatrixPlan.h"
#include "Explore/Minimise.h"
#include "Explore/Merge.h"
#include "Explore/ServiceNames.h"
#include "Explore/Sweep.h"
#include "Host/BoundedFile.h"
#include "Host/NearestName.h"
#include "Host/OutputFile.h"
#include "Boot/Checks.h"
#include "Images/ImageLoader.h"
#include "Report/Junit.h"
#include "Report/Markdown.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace dxesim {

namespace {

void writeJson(const std::string &path, const nlohmann::json &json, const char *what) {
  sim::writeOutput(path, json.dump(2) + "\n", what);
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

// NAME,... lists: an empty name is a mistake (it would select nothing, or,
// left out, everything).
std::vector<std::string> splitList(const std::vector<std::string> &items, const char *option) {
  std::vector<std::string> out;
  for (const std::string &item : items) {
    size_t start = 0;
    for (;;) {
      size_t comma = item.find(',', start);
      std::string part = item.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      if (part.empty()) {
        throw UsageError(fmt::format("{}: an empty name in \"{}\"", option, printable(item)));
      }
      out.push_back(part);
      if (comma == std::string::npos) {
        break;
      }
      start = comma + 1;
    }
  }
  return out;
}

// A service name that names no service would fail nothing, silently.
void refuseUnknownService(const std::string &name, const char *option) {
  if (sim::explore::isServiceName(name)) {
    return;
  }
  throw UsageError(fmt::format("{}: \"{}\" is no firmware service{}", option, printable(name),
                               sim::didYouMean(name, sim::explore::serviceNames())));
}

std::vector<std::string> serviceList(const std::vector<std::string> &items, const char *option) {
  std::vector<std::string> names = splitList(items, option);
  for (const std::string &name : names) {
    refuseUnknownService(name, option);
  }
  return names;
}

// I/N, 0 <= I < N.
sim::explore::Shard parseShard(const std::string &text, const char *what) {
  size_t slash = text.find('/');
  if (slash == std::string::npos) {
    throw UsageError(fmt::format("{}: \"{}\" is not I/N (shard I of N, I from 0)", what, printable(text)));
  }
  sim::explore::Shard shard;
  shard.index = static_cast<size_t>(parseNumber(text.substr(0, slash), what, NumberUnit::None));
  shard.count = static_cast<size_t>(parseNumber(text.substr(slash + 1), what, NumberUnit::None));
  if (shard.count == 0 || shard.index >= shard.count) {
    throw UsageError(
        fmt::format("{}: \"{}\" is not I/N with N at least 1 and I from 0 to N-1", what, printable(text)));
  }
  return shard;
}

// --shard, or else the test runners' variables that say the same: both or
// neither.
sim::explore::Shard resolveShard(const std::string &option) {
  if (!option.empty()) {
    return parseShard(option, "--shard");
  }
  const char *index = std::getenv("GTEST_SHARD_INDEX");
  const char *total = std::getenv("GTEST_TOTAL_SHARDS");
  if (index == nullptr && total == nullptr) {
    return {};
  }
  if (index == nullptr || total == nullptr) {
    throw UsageError(fmt::format("{} is set without {}: set both, or neither",
                                 index != nullptr ? "GTEST_SHARD_INDEX" : "GTEST_TOTAL_SHARDS",
                                 index != nullptr ? "GTEST_TOTAL_SHARDS" : "GTEST_SHARD_INDEX"));
  }
  return parseShard(std::string(index) + "/" + total, "GTEST_SHARD_INDEX/GTEST_TOTAL_SHARDS");
}

std::map<std::string, EFI_STATUS> parseStatuses(const std::vector<std::string> &items) {
  std::map<std::string, EFI_STATUS> out;
  for (const std::string &item : splitList(items, "--status")) {
    size_t equals = item.find('=');
    auto status = equals == std::string::npos ? std::nullopt : sim::statusFromName(item.substr(equals + 1));
    if (!status || equals == 0) {
      throw UsageError(
          fmt::format("--status {}: expected SERVICE=STATUS with a status name", printable(item)));
    }
    if ((*status & (uint64_t{1} << 63)) == 0) {
      throw UsageError(
          fmt::format("--status {}: a failing call must answer an error status", printable(item)));
    }
    refuseUnknownService(item.substr(0, equals), "--status");
    out[item.substr(0, equals)] = *status;
  }
  return out;
}

// A shard's result: a million matrix ids, or a sweep's thousands of boots
// with their effects, are tens of megabytes.
constexpr uint64_t kMaxShardFileBytes = uint64_t{1} << 30;

// The sweep's and the matrix's --junit, --markdown and --strict.
void addReportOptions(CLI::App *command, std::string &junit, std::string &markdown, bool &strict) {
  command->add_option("--junit", junit,
                      "Write every boot's checks as JUnit XML to this file (- for standard output)");
  command->add_option("--markdown", markdown,
                      "Write a Markdown summary of the checks to this file (- for standard output)");
  command->add_flag("--strict", strict,
                    "Exit 4 on unexpected warnings too; refuse (2) an [expect] entry without a reason");
}

// Whether a check warns where its board does not expect a warning.
bool unexpectedWarning(const std::vector<sim::CheckResult> &checks) {
  return std::any_of(checks.begin(), checks.end(), [](const sim::CheckResult &check) {
    return sim::report::caseKind(check, false) == sim::report::CaseKind::Warning;
  });
}

// Reports to standard output replace the table there.
bool reportOnStdout(const std::string &json, const std::string &junit, const std::string &markdown) {
  return json == "-" || junit == "-" || markdown == "-";
}

} // namespace

void writeTestReports(const std::string &junit, const std::string &markdown,
                      const std::function<sim::report::TestRun()> &run) {
  if (junit.empty() && markdown.empty()) {
    return;
  }
  sim::report::TestRun tests = run();
  if (!junit.empty()) {
    sim::writeOutput(junit, sim::report::junitXml(tests), "JUnit report");
  }
  if (!markdown.empty()) {
    sim::writeOutput(markdown, sim::report::markdownSummary(tests), "Markdown summary");
  }
}

void checkSweepOptions(const SweepCommandOptions &options) {
  refuseSharedOutputs(
      {{"--json", options.json}, {"--junit", options.junit}, {"--markdown", options.markdown}});
  (void)parseStatuses(options.statuses);
  (void)serviceList(options.only, "--only");
  (void)serviceList(options.pairs, "--pairs");
  (void)resolveShard(options.shard);
}

void checkMatrixOptions(const MatrixCommandOptions &options) {
  refuseSharedOutputs({{"--json", options.json},
                       {"--out", options.out},
                       {"--junit", options.junit},
                       {"--markdown", options.markdown}});
  if (options.all && options.out.empty()) {
    throw UsageError("--all: only with --out DIR, which it fills");
  }
  if (options.all && options.minimise) {
    throw UsageError("--all: not with --minimise, whose --out DIR holds the kept combinations");
  }
  (void)resolveShard(options.shard);
  auto strategy = options.strategy.empty() ? sim::explore::MatrixStrategy::Full
                                           : sim::explore::strategyFromName(options.strategy);
  if (!strategy) {
    throw UsageError(
        fmt::format("--strategy {}: expected full, pairwise or t3", printable(options.strategy)));
  }
  // A seed alone would be silently ignored: the run would not be the one asked for.
  if (options.seed && !options.sample) {
    throw UsageError("--seed: only with --sample N, which it draws");
  }
  if (options.sample && *strategy != sim::explore::MatrixStrategy::Full) {
    throw UsageError(
        fmt::format("--sample draws from the full product: not with --strategy {}", options.strategy));
  }
}

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
  addCount(command, "--pair-limit", options.pairLimit, uint64_t{1} << 32,
           "At most this many pairs (default 500)");
  // Once the sweep's name for --pair-limit; refused so that no script
  // takes the matrix's meaning (the first N boots) for it.
  command->add_option_function<std::string>(
      "--limit",
      [](const std::string &) {
        throw UsageError("--limit: the sweep's limit of pairs is --pair-limit; --limit is the matrix's");
      },
      "Refused: the limit of pairs is --pair-limit");
  command->add_option("--shard", options.shard,
                      "I/N: boot only the failures whose place in the plan is I modulo N (0 <= I < N)");
  addCount(command, "--jobs", options.jobs, kMaxJobs, "Boots at a time (default: every core)");
  addCount(command, "--timeout", options.timeout, 86400,
           "Seconds a boot may take before it counts as a hang (default 30)");
  command->add_option("--image", options.image,
                      "Host image of the driver (default: KeshInitDxe.so beside dxesim)");
  command->add_flag("--quiet", options.quiet, "No progress display");
  addReportOptions(command, options.junit, options.markdown, options.strict);
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
  command->add_flag("--all", options.all,
                    "With --out, write every combination booted (to sweep each platform shape, say)");
  addCount(command, "--limit", options.limit, sim::explore::kMaxMatrixBoots,
           "Boot only the first N combinations");
  addCount(command, "--sample", options.sample, sim::explore::kMaxMatrixBoots,
           "Boot N combinations drawn from the whole product (the same ones for the same seed)");
  command->add_option_function<std::string>(
      "--seed",
      [&options](const std::string &text) { options.seed = parseNumber(text, "--seed", NumberUnit::None); },
      "Seed of the sample (default 0)");
  command->add_option("--strategy", options.strategy,
                      "full (every combination), pairwise (every pair of values) or t3 (every triple); "
                      "default: the matrix file's");
  addCount(command, "--jobs", options.threads, kMaxJobs, "Boots at a time (default: every core)");
  addCount(command, "--threads", options.threads, kMaxJobs, "The same as --jobs");
  command->add_option("--shard", options.shard,
                      "I/N: boot only the combinations whose number is I modulo N (0 <= I < N)");
  command->add_option("--image", options.image,
                      "Host image of the driver (default: KeshInitDxe.so beside dxesim; with --minimise "
                      "KeshInitDxeEdges.so)");
  command->add_flag("--minimise", options.minimise,
                    "Keep the fewest combinations that reach all the driver code the run reaches; --out "
                    "writes those");
  command->add_flag("--quiet", options.quiet, "No progress display");
  addReportOptions(command, options.junit, options.markdown, options.strict);
  return command;
}

int sweepCommand(const SweepCommandOptions &options) {
  sim::Board board = options.board.empty() ? sim::referenceBoard() : sim::loadBoardFile(options.board);
  if (options.strict) {
    sim::refuseUnexplainedExpectations(board);
  }
  sim::explore::SweepOptions sweep;
  sweep.driverImage = options.image.empty() ? sim::defaultDriverImage() : options.image;
  for (const auto &[service, status] : parseStatuses(options.statuses)) {
    sweep.statuses[service] = status;
  }
  sweep.only = serviceList(options.only, "--only");
  sweep.pairs = serviceList(options.pairs, "--pairs");
  sweep.pairLimit = options.pairLimit;
  sweep.shard = resolveShard(options.shard);
  sweep.jobs = cores(options.jobs);
  sweep.timeout = std::chrono::seconds(options.timeout);
  sweep.progress = [&](size_t done, size_t total) { progress(options.quiet, done, total); };
  sim::explore::SweepResult result = sim::explore::runSweep(board, sweep);
  if (!reportOnStdout(options.json, options.junit, options.markdown)) {
    std::cout << sim::explore::sweepText(result);
  }
  if (!options.json.empty()) {
    writeJson(options.json, sim::explore::sweepJson(result), "sweep results");
  }
  writeTestReports(options.junit, options.markdown,
                   [&] { return sim::report::sweepRun(result, options.strict); });
  bool warned =
      unexpectedWarning(result.baseline.verdicts) ||
      std::any_of(result.boots.begin(), result.boots.end(),
                  [](const sim::explore::SweepBoot &boot) { return unexpectedWarning(boot.verdicts); });
  return result.violations() != 0 || (options.strict && warned) ? kExitViolation : 0;
}

namespace {

// The matrix run with --minimise: the kept combinations instead of the
// outcomes' table. A failing boot is still a violation (exit 4).
int minimise(const MatrixCommandOptions &options, const sim::explore::Matrix &matrix,
             const sim::explore::MatrixPlan &plan, const sim::explore::MatrixOptions &run) {
  sim::explore::MinimiseResult result = sim::explore::minimiseMatrix(matrix, plan, run);
  bool table = !reportOnStdout(options.json, options.junit, options.markdown);
  if (table) {
    std::cout << sim::explore::minimiseText(result);
  }
  if (!options.out.empty()) {
    auto written =
        sim::explore::writeCombinationBoards(matrix, plan, result.kept, options.out, "kept combination");
    if (table) {
      std::cout << fmt::format("-- {} kept combination(s) written to {}\n", written.size(), options.out);
    }
  }
  if (!options.json.empty()) {
    writeJson(options.json, sim::explore::minimiseJson(result), "kept combinations");
  }
  writeTestReports(options.junit, options.markdown,
                   [&] { return sim::report::matrixRun(result.run, options.strict); });
  bool warned = std::any_of(
      result.run.outcomes.begin(), result.run.outcomes.end(),
      [](const sim::explore::MatrixOutcome &outcome) { return unexpectedWarning(outcome.example.verdicts); });
  bool violation = result.run.failures() != 0 || (options.strict && warned);
  if (violation && table) {
    std::cout << fmt::format("-- {} of {} boots failed{}: run without --minimise for the outcomes\n",
                             result.run.failures(), result.run.booted,
                             options.strict && warned ? " or warned unexpectedly" : "");
  }
  return violation ? kExitViolation : 0;
}

} // namespace

int matrixCommand(const MatrixCommandOptions &options) {
  checkMatrixOptions(options);
  sim::explore::Matrix matrix = sim::explore::loadMatrixFile(options.spec);
  if (options.strict) {
    sim::refuseUnexplainedExpectations(sim::loadBoardFile(matrix.basePath));
  }
  sim::explore::MatrixOptions run;
  run.driverImage = options.image.empty() ? sim::defaultDriverImage() : options.image;
  if (options.minimise && options.image.empty()) {
    run.driverImage = sim::explore::edgesImageOf(run.driverImage);
  }
  // Once, before any boot: a missing image is the run's error, not every
  // combination's.
  sim::requireHostImage(run.driverImage, "KeshInitDxe");
  if (options.minimise && !sim::hasEdgeTable(run.driverImage)) {
    throw std::runtime_error(fmt::format(
        "{} has no edge table: --minimise boots the driver's Edges image (build the target KeshInitDxeEdges; "
        "dxesim finds KeshInitDxeEdges.so beside itself)",
        run.driverImage));
  }
  run.shard = resolveShard(options.shard);
  run.threads = cores(options.threads);
  run.limit = options.limit;
  run.sample = options.sample;
  run.seed = options.seed.value_or(0);
  if (!options.strategy.empty()) {
    run.strategy = sim::explore::strategyFromName(options.strategy);
  }
  run.progress = [&](size_t done, size_t total) { progress(options.quiet, done, total); };
  if (!options.junit.empty() || !options.markdown.empty()) {
    run.keepBoots = sim::report::kMaxReportedMatrixBoots;
  }
  // The plan is refused or made before the folder and the first boot.
  sim::explore::MatrixPlan plan = sim::explore::planMatrix(matrix, run);
  // The folder exists before anything boots: a folder that cannot be made
  // fails now, not after the run.
  if (!options.out.empty()) {
    sim::explore::makeOutputDirectory(options.out);
  }
  if (options.minimise) {
    return minimise(options, matrix, plan, run);
  }
  sim::explore::MatrixResult result = sim::explore::runMatrix(matrix, plan, run);
  bool table = !reportOnStdout(options.json, options.junit, options.markdown);
  if (table) {
    std::cout << sim::explore::matrixText(result);
  }
  if (!options.out.empty()) {
    auto written = sim::explore::writeBoards(matrix, plan, result, options.out, options.all);
    if (table) {
      std::cout << fmt::format("-- {} {}combination(s) written to {}\n", written.size(),
                               options.all ? "" : "failing ", options.out);
    }
  }
  if (!options.json.empty()) {
    writeJson(options.json, sim::explore::matrixJson(result), "matrix outcomes");
  }
  writeTestReports(options.junit, options.markdown,
                   [&] { return sim::report::matrixRun(result, options.strict); });
  // Boots that warned alike share an outcome: its example speaks for them.
  bool warned = std::any_of(
      result.outcomes.begin(), result.outcomes.end(),
      [](const sim::explore::MatrixOutcome &outcome) { return unexpectedWarning(outcome.example.verdicts); });
  return result.failures() != 0 || (options.strict && warned) ? kExitViolation : 0;
}

CLI::App *addMergeSubcommand(CLI::App &app, MergeCommandOptions &options) {
  CLI::App *command = app.add_subcommand(
      "merge", "Put the shards of one matrix run or sweep (their --json results) back together: the table, "
               "JSON and exit status one run gives");
  command->add_option("FILE", options.files, "Every shard's result, in any order")->required();
  command->add_option("--json", options.json,
                      "Also write the merged result as JSON to this file (- for stdout)");
  return command;
}

int mergeCommand(const MergeCommandOptions &options) {
  std::vector<nlohmann::json> documents;
  for (const std::string &file : options.files) {
    try {
      documents.push_back(nlohmann::json::parse(sim::readBoundedText(file, kMaxShardFileBytes)));
    } catch (const nlohmann::json::exception &error) {
      throw sim::explore::MergeError(fmt::format("{}: not a shard's JSON result: {}", file, error.what()));
    }
  }
  bool sweep = documents.front().is_object() && documents.front().contains("baseline");
  std::vector<sim::explore::MatrixResult> matrices;
  std::vector<sim::explore::SweepResult> sweeps;
  for (size_t i = 0; i < documents.size(); i++) {
    try {
      if (sweep) {
        sweeps.push_back(sim::explore::sweepFromJson(documents[i]));
      } else {
        matrices.push_back(sim::explore::matrixFromJson(documents[i]));
      }
    } catch (const std::exception &error) {
      throw sim::explore::MergeError(fmt::format("{}: not a {} shard's result: {}", options.files[i],
                                                 sweep ? "sweep" : "matrix", error.what()));
    }
    documents[i] = nullptr;
  }
  if (sweep) {
    sim::explore::SweepResult result = sim::explore::mergeSweep(std::move(sweeps), options.files);
    if (options.json != "-") {
      std::cout << sim::explore::sweepText(result);
    }
    if (!options.json.empty()) {
      writeJson(options.json, sim::explore::sweepJson(result), "sweep results");
    }
    return result.violations() != 0 ? kExitViolation : 0;
  }
  sim::explore::MatrixResult result = sim::explore::mergeMatrix(std::move(matrices), options.files);
  if (options.json != "-") {
    std::cout << sim::explore::matrixText(result);
  }
  if (!options.json.empty()) {
    writeJson(options.json, sim::explore::matrixJson(result), "matrix outcomes");
  }
  return result.failures() != 0 ? kExitViolation : 0;
}

} // namespace dxesim
