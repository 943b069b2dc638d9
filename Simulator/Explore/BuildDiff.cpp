// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "BuildDiff.h"

#include "Boot/Boot.h"
#include "Boot/Golden.h"
#include "Explore/Sweep.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace sim::explore {

nlohmann::json bootGolden(const Board &board, const std::string &image) {
  SimulationOptions options;
  options.recordHardware = true;
  Simulation simulation(board, image, options);
  simulation.run();
  return goldenRecord(simulation.record());
}

BuildDiffResult diffBuilds(size_t count, const std::function<BuildCase(size_t)> &caseOf,
                           const std::string &imageA, const std::string &imageB, unsigned threads) {
  BuildDiffResult result;
  result.booted = count;
  std::atomic<size_t> next{0};
  std::mutex lock;
  std::map<std::string, size_t> groups;
  auto worker = [&]() {
    for (size_t id = next.fetch_add(1); id < count; id = next.fetch_add(1)) {
      try {
        BuildCase c = caseOf(id);
        RecordDiff diff = diffRecords(bootGolden(c.board, imageA), bootGolden(c.board, imageB));
        std::lock_guard<std::mutex> hold(lock);
        if (diff.same()) {
          result.same++;
          continue;
        }
        std::string summary = diff.summary();
        auto [it, fresh] = groups.try_emplace(summary, result.groups.size());
        if (fresh) {
          result.groups.push_back(BuildDiffGroup{summary, {}, id, c.label, diff});
        }
        BuildDiffGroup &group = result.groups[it->second];
        if (id < group.example) {
          group.example = id;
          group.label = c.label;
          group.diff = std::move(diff);
        }
        group.cases.push_back(id);
      } catch (const std::exception &error) {
        std::lock_guard<std::mutex> hold(lock);
        result.errors.emplace_back(id, error.what());
      }
    }
  };
  std::vector<std::thread> pool;
  for (unsigned i = 1; i < std::max(1u, threads); i++) {
    pool.emplace_back(worker);
  }
  worker();
  for (std::thread &thread : pool) {
    thread.join();
  }
  for (BuildDiffGroup &group : result.groups) {
    std::sort(group.cases.begin(), group.cases.end());
  }
  // Which thread booted what changes nothing in the output.
  std::sort(result.groups.begin(), result.groups.end(), [](const BuildDiffGroup &a, const BuildDiffGroup &b) {
    return a.cases.size() != b.cases.size() ? a.cases.size() > b.cases.size() : a.example < b.example;
  });
  std::sort(result.errors.begin(), result.errors.end());
  return result;
}

BuildDiffResult diffBuilds(const Matrix &matrix, const MatrixPlan &plan, const std::string &imageA,
                           const std::string &imageB, unsigned threads, std::optional<size_t> limit) {
  size_t count = std::min(plan.size(), limit.value_or(plan.size()));
  return diffBuilds(
      count,
      [&](size_t id) {
        auto combination = plan.combination(id);
        return BuildCase{
            matrix.label(combination),
            parseBoardToml(matrix.boardToml(combination), fmt::format("{} case {}", matrix.source, id))};
      },
      imageA, imageB, threads);
}

std::vector<BuildCase> sweepCases(const Board &board, const std::string &image) {
  Simulation unfailed(board, image);
  unfailed.run();
  std::vector<BuildCase> cases;
  for (const ServiceCall &call : unfailed.core().failures().log()) {
    if (call.image == "DxeCore" || !call.failable) {
      continue;
    }
    BuildCase c{fmt::format("{} call {} failing", call.service, call.nth), board};
    c.board.failures.push_back(
        FailureRule{std::string(call.service), call.nth, defaultFailureStatus(call.service), std::nullopt});
    cases.push_back(std::move(c));
  }
  return cases;
}

std::string buildDiffText(const BuildDiffResult &result, size_t maxLines) {
  std::string out;
  for (const BuildDiffGroup &group : result.groups) {
    out += fmt::format("-- {} {}: {}\n", group.cases.size(),
                       group.cases.size() == 1 ? "case differs" : "cases differ", group.summary);
    out += fmt::format("   e.g. case {}: {}\n", group.example, group.label);
    out += diffText(group.diff, maxLines);
  }
  for (const auto &[id, error] : result.errors) {
    out += fmt::format("-- case {} could not be booted: {}\n", id, error);
  }
  out +=
      fmt::format("-- totals: {} cases booted with each image, {} alike, {} differ in {} way{}, {} errors\n",
                  result.booted, result.same, result.booted - result.same - result.errors.size(),
                  result.groups.size(), result.groups.size() == 1 ? "" : "s", result.errors.size());
  return out;
}

} // namespace sim::explore
