// SPDX-License-Identifier: BSD-2-Clause-Patent
// Putting the shards of one campaign back together: the results each
// shard wrote as JSON, read back and merged into the result one run on one
// machine gives. Timing is the shards' own: the merged run's seconds are
// their sum, its threads the most any shard used.
#pragma once

#include "Board/Board.h"
#include "Explore/Matrix.h"
#include "Explore/Sweep.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace sim::explore {

// Shards that do not make one run: a missing or repeated shard, one of
// another run, a file that is no shard's result. A bad input file to the
// tool, like a bad board.
class MergeError : public BoardError {
public:
  using BoardError::BoardError;
};

// Reads back what matrixJson wrote.
MatrixResult matrixFromJson(const nlohmann::json &json);

// `files` names each result in messages. Every shard of the run exactly
// once, all of one plan, or MergeError.
MatrixResult mergeMatrix(std::vector<MatrixResult> shards, const std::vector<std::string> &files);
SweepResult mergeSweep(std::vector<SweepResult> shards, const std::vector<std::string> &files);

} // namespace sim::explore
