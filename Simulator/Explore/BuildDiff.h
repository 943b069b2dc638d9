// SPDX-License-Identifier: BSD-2-Clause-Patent
// Two builds of the driver on the same platforms: each board or matrix
// combination booted with either image, their golden records compared, and
// the combinations that differ grouped by how they differ.
#pragma once

#include "Boot/RecordDiff.h"
#include "Explore/Matrix.h"
#include "Explore/MatrixPlan.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace sim::explore {

// The golden record of one boot of the board with the image.
nlohmann::json bootGolden(const Board &board, const std::string &image);

struct BuildDiffGroup {
  std::string summary;       // RecordDiff::summary(), what the group shares
  std::vector<size_t> cases; // combination ids, ascending
  size_t example = 0;        // the lowest of them
  std::string label;         // of the example
  RecordDiff diff;           // of the example
};

struct BuildDiffResult {
  size_t booted = 0;                                  // combinations, each booted twice
  size_t same = 0;                                    // that behaved alike
  std::vector<BuildDiffGroup> groups;                 // largest first, then by lowest id
  std::vector<std::pair<size_t, std::string>> errors; // combinations that could not be booted
};

// A platform both builds boot: a matrix combination, or a board with one
// call failing.
struct BuildCase {
  std::string label;
  Board board;
};

// Cases 0..count-1, each made by `caseOf` (which may throw for a case that
// cannot be built) and booted with either image, on `threads` threads.
BuildDiffResult diffBuilds(size_t count, const std::function<BuildCase(size_t)> &caseOf,
                           const std::string &imageA, const std::string &imageB, unsigned threads);

// Every combination of the plan (or its first `limit`).
BuildDiffResult diffBuilds(const Matrix &matrix, const MatrixPlan &plan, const std::string &imageA,
                           const std::string &imageB, unsigned threads, std::optional<size_t> limit);

// The sweep's single failures: the board once per call the first image's
// unfailed boot makes that a failure can change, that call failing with
// the service's usual error.
std::vector<BuildCase> sweepCases(const Board &board, const std::string &image);

std::string buildDiffText(const BuildDiffResult &result, size_t maxLines);

} // namespace sim::explore
