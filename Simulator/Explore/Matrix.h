// SPDX-License-Identifier: BSD-2-Clause-Patent
// The board matrix: a base board and axes, each a board key with a list of
// values ("absent" removes the key). Every combination (or the listed
// cases) becomes a board file's table, read by the normal board reader,
// booted on its own thread and judged; boots are grouped by outcome.
#pragma once

#include "Board/Board.h"
#include "Explore/Judge.h"
#include "Explore/Shard.h"

#include <nlohmann/json.hpp>
#include <toml++/toml.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim::explore {

// A matrix file that cannot be used: "FILE:LINE: message". A bad board
// file to the tool, like the boards it names.
class MatrixError : public BoardError {
public:
  using BoardError::BoardError;
};

// The most combinations one run boots; a larger matrix is refused, with
// its size, unless a sample of it is asked for.
constexpr size_t kMaxMatrixBoots = 1000000;

// Which combinations a run boots: every one, or rows that hold every pair
// (pairwise) or every triple (t3) of values of any axes.
enum class MatrixStrategy { Full, Pairwise, T3 };
const char *strategyName(MatrixStrategy strategy);
std::optional<MatrixStrategy> strategyFromName(std::string_view name);

struct MatrixAxis {
  std::string name; // how cases, strategies and labels refer to it; unique in the matrix
  // A dotted path into the board's TOML, "platform.identity.system_id"; empty
  // for an axis of [[axis.value]] tables, each merged into the board.
  std::string key;
  // One TOML node per value; a null node means absent.
  std::vector<std::shared_ptr<toml::node>> values;
  std::vector<std::string> labels; // one per value
  bool append = false;             // arrays are added to the board's, not put in their place
};

struct Matrix {
  std::string name;
  std::string source;   // the matrix file
  std::string basePath; // the base board file
  toml::table base;     // its table, as written
  std::vector<MatrixAxis> axes;
  // Listed cases, when the file has them: the value index of each axis,
  // or nullopt to keep the base board's value.
  std::vector<std::vector<std::optional<size_t>>> cases;
  MatrixStrategy strategy = MatrixStrategy::Full; // [matrix] strategy
  std::vector<size_t> fullAxes; // [matrix] full: axes multiplied fully in a pairwise or t3 run

  size_t size() const; // combinations (or cases); MatrixError when the count overflows
  // The value index of each axis for combination `index` (first axis slowest).
  std::vector<std::optional<size_t>> combination(size_t index) const;
  std::string label(const std::vector<std::optional<size_t>> &combination) const;
  // The board file of a combination: the base table with the values applied,
  // named after them, `extends` made absolute so that it reads anywhere.
  // With `model`, the board states in [expect] what the platform model
  // expects of it, and says why in comments.
  std::string boardToml(const std::vector<std::optional<size_t>> &combination, bool model = false) const;
};

Matrix parseMatrixToml(std::string_view text, const std::string &source);
Matrix loadMatrixFile(const std::string &path);

// Applies one value to a board table: creates the tables on the way,
// replaces what is there, or removes the key (value null). Throws
// MatrixError when a part of the path is not a table.
void applyBoardValue(toml::table &board, const std::string &key, const toml::node *value,
                     bool append = false);
// Merges a table of board keys into a board: tables merge key by key, the
// string "absent" removes a key, arrays are added (append) or replace, any
// other value replaces.
void mergeBoardTable(toml::table &board, const toml::table &values, bool append);

struct MatrixOptions {
  std::string driverImage;
  unsigned threads = 1;
  // Both at least 1, the boots at most kMaxMatrixBoots (std::invalid_argument).
  std::optional<size_t> limit;                  // the first N combinations (of the sample)
  std::optional<size_t> sample;                 // N combinations drawn from the full product
  uint64_t seed = 0;                            // what the sample is drawn with
  std::optional<MatrixStrategy> strategy;       // instead of the matrix file's
  std::function<void(size_t, size_t)> progress; // (done, total), from worker threads, serialised
  Shard shard;                                  // boots only the plan's ids this shard owns
  // Keeps each boot's checks (MatrixResult::boots) when the run boots at
  // most this many; 0: none, the outcomes alone.
  size_t keepBoots = 0;
  // Given each boot's driver edges (Simulation::driverEdges, empty for a
  // boot that was not built) and the blocks its table lost, from worker
  // threads, serialised.
  std::function<void(size_t id, std::vector<uint32_t> &&edges, uint64_t lost)> edges;
};

// What a run's plan was, for the reports.
struct MatrixPlanSummary {
  std::string strategy = "full";        // full, cases, pairwise, t3 or sample
  size_t dimensions = 0;                // axes
  size_t values = 0;                    // of all axes
  std::optional<uint64_t> combinations; // the full product (or the cases); nullopt beyond 64 bits
  std::string combinationsText;         // the same in decimal, however large
  size_t boots = 0;                     // in the plan, before a limit
  std::vector<std::string> multiplied;  // axes multiplied fully (pairwise, t3)
  unsigned strength = 0;                // 2 or 3 (pairwise, t3)
  uint64_t tuples = 0, covered = 0;     // t-tuples in all and held by the boots run
  std::optional<uint64_t> seed;         // sample
  bool distinct = false;                // sample: no combination drawn twice
};

class MatrixPlan;

struct MatrixBoot {
  size_t index = 0; // the boot's id in the plan
  std::string label;
  std::vector<CheckResult> verdicts; // the registry's checks
  BootEffects effects;
  // Checks whose verdict (or count) differs from the platform model's, each
  // "check: got X, the platform model expects Y: why".
  std::vector<std::string> disagreements;
  std::string error; // the board or the boot could not be built
  bool failed() const;
};

// Boots that ended alike: their ids, and the first of them in full. A
// boot costs its id here, so a million fit in a few megabytes.
struct MatrixOutcome {
  std::string key;           // the verdict and the effects that define the group
  std::vector<size_t> cases; // combination ids, ascending
  MatrixBoot example;        // the boot of the lowest id
  bool failed = false;
};

// How many boots one check judged each way.
struct CheckTally {
  std::string name;
  std::array<size_t, std::size(kVerdicts)> boots{}; // by Verdict
  bool operator==(const CheckTally &) const = default;
};
// Adds a boot's verdicts to the tallies, a check not yet there at the end.
void tallyChecks(std::vector<CheckTally> &tallies, const std::vector<CheckResult> &verdicts);
// Adds one run's tallies (a shard's) to another's.
void addTallies(std::vector<CheckTally> &into, const std::vector<CheckTally> &from);

struct MatrixResult {
  std::string name, source;
  size_t combinations = 0;             // in the whole matrix (0 beyond 64 bits)
  MatrixPlanSummary plan;              // of the whole run, every shard's the same
  size_t booted = 0;                   // by this run (this shard)
  std::vector<MatrixOutcome> outcomes; // failing first, then largest, then by lowest id
  std::vector<CheckTally> checks;      // every check that judged a boot, in the registry's order
  // Every boot in id order, its checks and effects, when the run kept them
  // (MatrixOptions::keepBoots); empty otherwise.
  std::vector<MatrixBoot> boots;
  std::string digest; // of the whole run's plan, every shard's the same
  Shard shard;
  double seconds = 0;
  unsigned threads = 1;
  size_t failures() const;
};

// Outcomes in the order the table shows them; the order does not depend
// on which shard booted what.
void sortOutcomes(std::vector<MatrixOutcome> &outcomes);

// Boots the ids 0..K-1 of the plan (K its size, or the limit) that the
// shard owns.
MatrixResult runMatrix(const Matrix &matrix, const MatrixPlan &plan, const MatrixOptions &options);
// The same with the plan the options ask for (planMatrix).
MatrixResult runMatrix(const Matrix &matrix, const MatrixOptions &options);
std::string matrixText(const MatrixResult &result);
nlohmann::json matrixJson(const MatrixResult &result);
// The tallies as the JSON's "checks" holds them, and back.
nlohmann::json checksJson(const std::vector<CheckTally> &checks);
std::vector<CheckTally> checksFromTallyJson(const nlohmann::json &json);
// Makes the folder (and those on its way) or throws FileWriteError.
void makeOutputDirectory(const std::string &dir);
// Writes each failing combination (or, with `all`, each one booted) as
// "<dir>/case-<id>.toml", every write checked; returns the paths.
std::vector<std::string> writeBoards(const Matrix &matrix, const MatrixPlan &plan, const MatrixResult &result,
                                     const std::string &dir, bool all = false);
// Writes these combinations (plan ids) as "<dir>/case-<id>.toml", in the
// order given; returns the paths. `what` names them in a write's error.
std::vector<std::string> writeCombinationBoards(const Matrix &matrix, const MatrixPlan &plan,
                                                const std::vector<size_t> &ids, const std::string &dir,
                                                const char *what);

} // namespace sim::explore
