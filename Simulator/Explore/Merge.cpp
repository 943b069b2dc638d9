// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore/Merge.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>

namespace sim::explore {

namespace {

// Shard I of N given once for every I, all of one plan.
void checkShards(const std::vector<std::string> &plans, const std::vector<Shard> &shards,
                 const std::vector<std::string> &files) {
  if (shards.empty()) {
    throw MergeError("no shard to merge");
  }
  size_t count = shards.front().count;
  std::vector<std::string> seen(count);
  for (size_t i = 0; i < shards.size(); i++) {
    if (plans[i] != plans.front()) {
      throw MergeError(fmt::format("{}: a shard of another run (plan {}, not {} as {})", files[i], plans[i],
                                   plans.front(), files.front()));
    }
    if (shards[i].count != count || shards[i].index >= count) {
      throw MergeError(fmt::format("{}: shard {}/{} is not one of {}'s {} shards", files[i], shards[i].index,
                                   shards[i].count, files.front(), count));
    }
    if (!seen[shards[i].index].empty()) {
      throw MergeError(fmt::format("{}: shard {}/{} is given twice (also {})", files[i], shards[i].index,
                                   count, seen[shards[i].index]));
    }
    seen[shards[i].index] = files[i];
  }
  std::vector<std::string> missing;
  for (size_t i = 0; i < count; i++) {
    if (seen[i].empty()) {
      missing.push_back(fmt::format("{}/{}", i, count));
    }
  }
  if (!missing.empty()) {
    throw MergeError(fmt::format("shard(s) {} missing", fmt::join(missing, ", ")));
  }
}

} // namespace

MatrixResult matrixFromJson(const nlohmann::json &json) {
  MatrixResult result;
  result.name = json.at("name").get<std::string>();
  result.source = json.at("source").get<std::string>();
  // Beyond 64 bits the count is null and the product says it in decimal.
  const nlohmann::json &combinations = json.at("combinations");
  result.combinations = combinations.is_null() ? 0 : combinations.get<size_t>();
  MatrixPlanSummary &plan = result.plan;
  plan.strategy = json.at("strategy").get<std::string>();
  plan.dimensions = json.at("dimensions").get<size_t>();
  plan.values = json.at("values").get<size_t>();
  plan.combinationsText = json.at("product").get<std::string>();
  if (!combinations.is_null()) {
    plan.combinations = combinations.get<uint64_t>();
  }
  plan.boots = json.at("planned").get<size_t>();
  if (json.contains("strength")) {
    plan.strength = json.at("strength").get<unsigned>();
    plan.tuples = json.at("tuples").get<uint64_t>();
    plan.covered = json.at("covered").get<uint64_t>();
    plan.multiplied = json.at("multiplied").get<std::vector<std::string>>();
  }
  if (json.contains("seed")) {
    plan.seed = json.at("seed").get<uint64_t>();
    plan.distinct = json.at("distinct").get<bool>();
  }
  result.booted = json.at("booted").get<size_t>();
  result.threads = json.at("threads").get<unsigned>();
  result.seconds = json.at("seconds").get<double>();
  result.digest = json.at("plan").get<std::string>();
  result.shard.index = json.at("shard").at("index").get<size_t>();
  result.shard.count = json.at("shard").at("count").get<size_t>();
  if (result.shard.count == 0) {
    throw std::invalid_argument("a shard of 0 shards");
  }
  // Results written before the run counted its checks have none.
  if (json.contains("checks")) {
    result.checks = checksFromTallyJson(json.at("checks"));
  }
  for (const auto &in : json.at("outcomes")) {
    MatrixOutcome outcome;
    outcome.key = in.at("key").get<std::string>();
    outcome.failed = in.at("failed").get<bool>();
    outcome.cases = in.at("cases").get<std::vector<size_t>>();
    if (outcome.cases.empty() || !std::is_sorted(outcome.cases.begin(), outcome.cases.end())) {
      throw std::invalid_argument("an outcome's cases are not a list of ids in ascending order");
    }
    for (size_t id : outcome.cases) {
      if (!result.shard.has(id)) {
        throw std::invalid_argument(
            fmt::format("case {} is not shard {}/{}'s to boot", id, result.shard.index, result.shard.count));
      }
    }
    outcome.example.index = outcome.cases.front();
    outcome.example.label = in.at("example").get<std::string>();
    outcome.example.error = in.at("error").get<std::string>();
    outcome.example.verdicts = checksFromJson(in.at("verdicts"));
    outcome.example.effects = effectsFromJson(in.at("effects"));
    outcome.example.disagreements = in.at("model").get<std::vector<std::string>>();
    result.outcomes.push_back(std::move(outcome));
  }
  return result;
}

// The same checks for the shards of any run: each names its plan's digest.
template <typename Result>
void checkResults(const std::vector<Result> &shards, std::string Result::*digest,
                  const std::vector<std::string> &files) {
  std::vector<std::string> plans;
  std::vector<Shard> parts;
  for (const Result &shard : shards) {
    plans.push_back(shard.*digest);
    parts.push_back(shard.shard);
  }
  checkShards(plans, parts, files);
}

MatrixResult mergeMatrix(std::vector<MatrixResult> shards, const std::vector<std::string> &files) {
  checkResults(shards, &MatrixResult::digest, files);
  MatrixResult merged;
  merged.name = shards.front().name;
  merged.source = shards.front().source;
  merged.combinations = shards.front().combinations;
  merged.plan = shards.front().plan;
  merged.digest = shards.front().digest;
  std::map<std::string, size_t> groups;
  for (MatrixResult &shard : shards) {
    merged.booted += shard.booted;
    merged.seconds += shard.seconds;
    merged.threads = std::max(merged.threads, shard.threads);
    addTallies(merged.checks, shard.checks);
    for (MatrixOutcome &outcome : shard.outcomes) {
      auto [it, fresh] = groups.try_emplace(outcome.key, merged.outcomes.size());
      if (fresh) {
        merged.outcomes.push_back(std::move(outcome));
        continue;
      }
      MatrixOutcome &into = merged.outcomes[it->second];
      into.cases.insert(into.cases.end(), outcome.cases.begin(), outcome.cases.end());
      if (outcome.example.index < into.example.index) {
        into.example = std::move(outcome.example);
      }
    }
    shard.outcomes.clear(); // each shard's memory goes as soon as it is merged
  }
  for (MatrixOutcome &outcome : merged.outcomes) {
    std::sort(outcome.cases.begin(), outcome.cases.end());
  }
  sortOutcomes(merged.outcomes);
  return merged;
}

SweepResult mergeSweep(std::vector<SweepResult> shards, const std::vector<std::string> &files) {
  checkResults(shards, &SweepResult::plan, files);
  // The unfailed boot is in every shard, the same by the plan: one is told.
  SweepResult merged;
  merged.board = shards.front().board;
  merged.source = shards.front().source;
  merged.baseline = shards.front().baseline;
  merged.calls = shards.front().calls;
  merged.plan = shards.front().plan;
  for (SweepResult &shard : shards) {
    for (SweepBoot &boot : shard.boots) {
      if (!shard.shard.has(boot.id)) {
        throw MergeError(fmt::format("boot {} is not shard {}/{}'s to boot", boot.id, shard.shard.index,
                                     shard.shard.count));
      }
      merged.boots.push_back(std::move(boot));
    }
  }
  std::stable_sort(merged.boots.begin(), merged.boots.end(),
                   [](const SweepBoot &a, const SweepBoot &b) { return a.id < b.id; });
  return merged;
}

} // namespace sim::explore
