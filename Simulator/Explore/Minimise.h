// SPDX-License-Identifier: BSD-2-Clause-Patent
// The fewest combinations of a matrix run that reach all the driver code
// the whole run reaches: each boot's driver edges (from the Edges image),
// then a greedy set cover of them.
#pragma once

#include "Explore/Matrix.h"
#include "Explore/MatrixPlan.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace sim::explore {

// Greedy set cover of the union of `sets` (each sorted, without repeats):
// repeatedly the set adding the most edges not yet covered, the earlier set
// on a tie; then each chosen set whose edges the other chosen sets hold is
// dropped, the last chosen first. Returns the indices kept, ascending;
// empty sets are never kept.
std::vector<size_t> greedyCover(const std::vector<std::vector<uint32_t>> &sets);

struct MinimiseResult {
  MatrixResult run;                      // the matrix run that booted the combinations
  std::vector<size_t> kept;              // plan ids, ascending
  std::vector<size_t> keptEdges;         // each kept combination's own edges
  size_t edges = 0;                      // the whole run's union
  size_t distinctSets = 0;               // boots that reached different code
  uint64_t lost = 0;                     // blocks the boots' tables had no room for
  std::vector<std::string> keptLabels;   // the fields that set each kept one apart
  std::vector<std::string> sharedFields; // "axis=label" every kept one has
};

// Boots the plan (options.driverImage must be an Edges image) and keeps the
// fewest combinations whose edges make the run's union. Throws
// std::logic_error if the kept union falls short of it.
MinimiseResult minimiseMatrix(const Matrix &matrix, const MatrixPlan &plan, MatrixOptions options);
std::string minimiseText(const MinimiseResult &result);
nlohmann::json minimiseJson(const MinimiseResult &result);

// The Edges sibling of a host image: dir/KeshInitDxe.so -> dir/KeshInitDxeEdges.so.
std::string edgesImageOf(const std::string &image);

} // namespace sim::explore
