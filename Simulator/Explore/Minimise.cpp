// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore/Minimise.h"

#include "Host/TimeText.h"

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <queue>
#include <stdexcept>
#include <unordered_map>

namespace sim::explore {

std::vector<size_t> greedyCover(const std::vector<std::vector<uint32_t>> &sets) {
  // Edges as dense numbers, so that covered and counted are flat arrays.
  std::unordered_map<uint32_t, uint32_t> dense;
  std::vector<std::vector<uint32_t>> members(sets.size());
  for (size_t i = 0; i < sets.size(); i++) {
    for (uint32_t edge : sets[i]) {
      auto [it, fresh] = dense.try_emplace(edge, static_cast<uint32_t>(dense.size()));
      members[i].push_back(it->second);
    }
  }
  std::vector<bool> covered(dense.size(), false);
  auto gain = [&](size_t set) {
    return static_cast<size_t>(std::count_if(members[set].begin(), members[set].end(),
                                             [&](uint32_t edge) { return !covered[edge]; }));
  };
  // Lazy greedy: a set's gain only shrinks as others are chosen, so a set
  // whose fresh gain still ranks first among the stale ones is the best.
  // Ranked by gain, then the earlier set.
  using Entry = std::pair<size_t, size_t>; // gain, index
  auto below = [](const Entry &a, const Entry &b) {
    return a.first != b.first ? a.first < b.first : a.second > b.second;
  };
  std::priority_queue<Entry, std::vector<Entry>, decltype(below)> queue(below);
  for (size_t i = 0; i < sets.size(); i++) {
    if (!members[i].empty()) {
      queue.push({members[i].size(), i});
    }
  }
  std::vector<size_t> chosen;
  size_t left = dense.size();
  while (left > 0 && !queue.empty()) {
    Entry top = queue.top();
    queue.pop();
    Entry fresh{gain(top.second), top.second};
    if (fresh.first == 0) {
      continue;
    }
    if (!queue.empty() && below(fresh, queue.top())) {
      queue.push(fresh);
      continue;
    }
    chosen.push_back(fresh.second);
    for (uint32_t edge : members[fresh.second]) {
      if (!covered[edge]) {
        covered[edge] = true;
        left--;
      }
    }
  }
  // A set chosen early may be covered by those chosen after it.
  std::vector<uint32_t> holders(dense.size(), 0);
  for (size_t set : chosen) {
    for (uint32_t edge : members[set]) {
      holders[edge]++;
    }
  }
  std::vector<size_t> kept;
  for (auto it = chosen.rbegin(); it != chosen.rend(); ++it) {
    const std::vector<uint32_t> &edges = members[*it];
    if (std::all_of(edges.begin(), edges.end(), [&](uint32_t edge) { return holders[edge] > 1; })) {
      for (uint32_t edge : edges) {
        holders[edge]--;
      }
      continue;
    }
    kept.push_back(*it);
  }
  std::sort(kept.begin(), kept.end());
  return kept;
}

std::string edgesImageOf(const std::string &image) {
  std::filesystem::path path(image);
  return (path.parent_path() / (path.stem().string() + "Edges" + path.extension().string())).string();
}

namespace {

std::vector<uint32_t> unionOf(const std::vector<uint32_t> &a, const std::vector<uint32_t> &b) {
  std::vector<uint32_t> out;
  out.reserve(a.size() + b.size());
  std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

} // namespace

MinimiseResult minimiseMatrix(const Matrix &matrix, const MatrixPlan &plan, MatrixOptions options) {
  MinimiseResult out;
  // Boots that ran the same code are one set, named by the earliest: the
  // cover's tie goes to it, and a matrix's boots mostly repeat a few paths.
  std::map<std::vector<uint32_t>, size_t> firstWith;
  options.edges = [&](size_t id, std::vector<uint32_t> &&edges, uint64_t lost) {
    out.lost += lost;
    auto [it, fresh] = firstWith.try_emplace(std::move(edges), id);
    if (!fresh) {
      it->second = std::min(it->second, id);
    }
  };
  out.run = runMatrix(matrix, plan, options);

  std::vector<std::pair<size_t, const std::vector<uint32_t> *>> byId;
  for (const auto &[edges, id] : firstWith) {
    byId.emplace_back(id, &edges);
  }
  std::sort(byId.begin(), byId.end());
  std::vector<std::vector<uint32_t>> sets;
  std::vector<uint32_t> all;
  for (const auto &[id, edges] : byId) {
    sets.push_back(*edges);
    all = unionOf(all, *edges);
  }
  out.distinctSets = sets.size();
  out.edges = all.size();
  std::vector<uint32_t> reached;
  for (size_t index : greedyCover(sets)) {
    out.kept.push_back(byId[index].first);
    out.keptEdges.push_back(sets[index].size());
    reached = unionOf(reached, sets[index]);
  }
  if (reached != all) {
    throw std::logic_error(fmt::format("the kept combinations reach {} of the run's {} driver edges",
                                       reached.size(), all.size()));
  }

  // Each kept combination by the fields that set it apart from the others
  // kept; those they all share are told once.
  std::vector<std::vector<std::optional<size_t>>> combinations;
  for (size_t id : out.kept) {
    combinations.push_back(plan.combination(id));
  }
  std::vector<bool> varies(matrix.axes.size(), combinations.size() == 1);
  for (size_t axis = 0; axis < matrix.axes.size(); axis++) {
    for (const auto &combination : combinations) {
      varies[axis] = varies[axis] || combination[axis] != combinations.front()[axis];
    }
    if (!varies[axis] && !combinations.empty() && combinations.front()[axis]) {
      std::vector<std::optional<size_t>> only(matrix.axes.size());
      only[axis] = combinations.front()[axis];
      out.sharedFields.push_back(matrix.label(only));
    }
  }
  for (auto combination : combinations) {
    for (size_t axis = 0; axis < matrix.axes.size(); axis++) {
      if (!varies[axis]) {
        combination[axis].reset();
      }
    }
    out.keptLabels.push_back(matrix.label(combination));
  }
  return out;
}

std::string minimiseText(const MinimiseResult &result) {
  const MatrixResult &run = result.run;
  std::string out = fmt::format("kept {} of {} combinations: {} driver edges, all the matrix reaches\n",
                                result.kept.size(), run.booted, result.edges);
  out += fmt::format("-- {} ({}): {} boots on {} thread(s) in {}, {} distinct edge sets\n", run.name,
                     run.source, run.booted, run.threads,
                     msText(static_cast<uint64_t>(std::max(0.0, run.seconds) * 1e9)), result.distinctSets);
  if (result.lost != 0) {
    out += fmt::format("-- warning: {} blocks run found their image's edge table full: the edges are "
                       "incomplete\n",
                       result.lost);
  }
  if (!result.sharedFields.empty()) {
    out += fmt::format("-- every kept combination: {}\n", fmt::join(result.sharedFields, ", "));
  }
  for (size_t i = 0; i < result.kept.size(); i++) {
    out +=
        fmt::format("   case {}: {} ({} edges)\n", result.kept[i], result.keptLabels[i], result.keptEdges[i]);
  }
  return out;
}

nlohmann::json minimiseJson(const MinimiseResult &result) {
  const MatrixResult &run = result.run;
  nlohmann::json kept = nlohmann::json::array();
  for (size_t i = 0; i < result.kept.size(); i++) {
    kept.push_back(
        {{"id", result.kept[i]}, {"fields", result.keptLabels[i]}, {"edges", result.keptEdges[i]}});
  }
  return {{"name", run.name},
          {"source", run.source},
          {"booted", run.booted},
          {"planned", run.plan.boots},
          {"strategy", run.plan.strategy},
          {"threads", run.threads},
          {"seconds", run.seconds},
          {"failing", run.failures()},
          {"edges", result.edges},
          {"distinct_sets", result.distinctSets},
          {"lost", result.lost},
          {"shared", result.sharedFields},
          {"kept", kept},
          {"plan", run.digest},
          {"shard", {{"index", run.shard.index}, {"count", run.shard.count}}}};
}

} // namespace sim::explore
