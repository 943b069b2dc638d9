// SPDX-License-Identifier: BSD-2-Clause-Patent
// Covering arrays, seeded samples and the plans a matrix run boots: every
// tuple is there, the rows stay few, the same input gives the same boots.
#include "Explore/Covering.h"
#include "Explore/Matrix.h"
#include "Explore/MatrixPlan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

namespace ex = sim::explore;

// The t-tuples the rows miss, counted by brute force: the multiplied
// dimensions stand together as one unit, every other dimension alone.
size_t missing(const ex::CoveringShape &shape, const std::vector<ex::CoveringRow> &rows) {
  std::vector<std::vector<size_t>> units(1); // the group first, when there is one
  for (size_t d = 0; d < shape.values.size(); d++) {
    bool multiplied = std::count(shape.multiplied.begin(), shape.multiplied.end(), d) != 0;
    multiplied ? units[0].push_back(d) : units.push_back({d});
  }
  if (units[0].empty()) {
    units.erase(units.begin());
  }
  size_t t = std::min<size_t>(shape.strength, units.size());
  size_t absent = 0;
  auto check = [&](const std::vector<size_t> &chosen) {
    std::vector<size_t> dims;
    for (size_t u : chosen) {
      dims.insert(dims.end(), units[u].begin(), units[u].end());
    }
    std::set<std::vector<uint32_t>> seen;
    size_t all = 1;
    for (size_t d : dims) {
      all *= shape.values[d];
    }
    for (const ex::CoveringRow &row : rows) {
      std::vector<uint32_t> tuple;
      std::transform(dims.begin(), dims.end(), std::back_inserter(tuple), [&](size_t d) { return row[d]; });
      seen.insert(tuple);
    }
    absent += all - seen.size();
  };
  // Every t-subset of units, t at most 3.
  size_t n = units.size();
  for (size_t a = 0; a < (t >= 1 ? n : 1); a++) {
    for (size_t b = a + 1; b < (t >= 2 ? n : a + 2); b++) {
      for (size_t c = b + 1; c < (t >= 3 ? n : b + 2); c++) {
        std::vector<size_t> chosen{a, b, c};
        chosen.resize(t);
        check(chosen);
      }
    }
  }
  return absent;
}

std::vector<size_t> manyDimensions() {
  std::vector<size_t> values;
  for (size_t i = 0; i < 45; i++) {
    values.push_back(2 + i * 7 % 11); // 2 to 12 values
  }
  return values;
}

struct Shape {
  const char *what;
  ex::CoveringShape shape;
  size_t maxRows;
};

const Shape kShapes[] = {
    {"3^4 pairwise", {{3, 3, 3, 3}, 2, {}}, 11},
    {"2^10 pairwise", {std::vector<size_t>(10, 2), 2, {}}, 10},
    {"one dimension", {{5}, 2, {}}, 5},
    {"one dimension, t3", {{4}, 3, {}}, 4},
    {"two dimensions, t3: their product", {{3, 4}, 3, {}}, 12},
    {"no dimensions: one empty row", {{}, 2, {}}, 1},
    {"one-value dimensions", {{1, 3, 1, 2, 1}, 2, {}}, 6},
    {"only one-value dimensions", {{1, 1, 1}, 3, {}}, 1},
    {"mixed sizes pairwise", {{7, 2, 5, 3, 3, 4, 2}, 2, {}}, 45},
    {"45 dimensions pairwise", {manyDimensions(), 2, {}}, 288},
    {"3^6 t3", {std::vector<size_t>(6, 3), 3, {}}, 60},
    {"4^8 t3", {std::vector<size_t>(8, 4), 3, {}}, 160},
    {"a multiplied group", {{2, 3, 4, 5, 1, 2}, 2, {1, 3}}, 90},
    {"a multiplied group, t3", {{2, 3, 2, 2, 3, 2}, 3, {0, 4, 5}}, 120},
    {"every dimension multiplied", {{2, 3, 2}, 2, {0, 1, 2}}, 12},
    {"a group given twice over", {{3, 3, 3, 3}, 2, {2, 0, 2}}, 30},
};

class CoveringShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(CoveringShapes, EveryTupleAppearsInFewRowsTheSameEveryTime) {
  const Shape &c = GetParam();
  ex::CoveringArray array = ex::coveringArray(c.shape);
  ASSERT_FALSE(array.rows.empty());
  for (const ex::CoveringRow &row : array.rows) {
    ASSERT_EQ(row.size(), c.shape.values.size());
    ASSERT_TRUE(std::equal(row.begin(), row.end(), c.shape.values.begin(), std::less<>())) << "in range";
  }
  EXPECT_EQ(missing(c.shape, array.rows), 0u);
  EXPECT_LE(array.rows.size(), c.maxRows);
  EXPECT_EQ(array.covered, array.tuples);
  EXPECT_EQ(ex::coveringArray(c.shape).rows, array.rows) << "deterministic";
}

INSTANTIATE_TEST_SUITE_P(Covering, CoveringShapes, ::testing::ValuesIn(kShapes),
                         [](const auto &info) { return "Shape" + std::to_string(info.index); });

TEST(Covering, TuplesAreCountedForTheRowsGiven) {
  ex::CoveringShape shape{{3, 3, 3, 3}, 2, {}};
  ex::CoveringArray array = ex::coveringArray(shape);
  EXPECT_EQ(array.tuples, 6u * 9u);
  EXPECT_EQ(ex::coveredTuples(shape, array.rows, 1), 6u) << "one row: one pair of each two dimensions";
  std::vector<ex::CoveringRow> twice{{0, 1, 2, 0}, {0, 1, 2, 0}, {0, 1, 2, 1}};
  EXPECT_EQ(ex::coveredTuples(shape, twice, 3), 6u + 3u) << "a repeated row adds nothing";
  // t3 of a group and one more dimension: every group combination with
  // every value of it, 2*3*4.
  EXPECT_EQ(ex::tupleCount({{2, 3, 4}, 3, {0, 1}}), 24u);
  EXPECT_EQ(ex::tupleCount({std::vector<size_t>(40, 1u << 30), 3, {}}), 0u) << "beyond 64 bits";
}

TEST(Covering, ShapesItCannotMakeAreRefused) {
  const ex::CoveringShape refused[] = {
      {{2, 2}, 4, {}},
      {{2, 2}, 1, {}},
      {{2, 0, 2}, 2, {}},
      {{2, 2}, 2, {2}},
      {std::vector<size_t>(7, 10), 2, {0, 1, 2, 3, 4, 5, 6}}, // 10^7 combinations in the group
  };
  for (const ex::CoveringShape &shape : refused) {
    EXPECT_THROW(ex::coveringArray(shape), std::invalid_argument) << shape.values.size();
  }
}

struct Sample {
  const char *what;
  std::vector<size_t> radices;
  bool distinct;
};

const Sample kSamples[] = {
    {"a small product", {3, 4, 5}, true},
    {"one combination", {1, 1}, true},
    {"97200 combinations", {4, 5, 3, 3, 3, 5, 3, 4, 3}, true},
    {"a product of exactly 2^64", std::vector<size_t>(64, 2), false},
    {"45 dimensions beyond 2^64", manyDimensions(), false},
};

class SeededSamples : public ::testing::TestWithParam<Sample> {};

TEST_P(SeededSamples, StableForASeedOtherForAnotherAndInRange) {
  const Sample &c = GetParam();
  ex::SeededSample sample(c.radices, 7), again(c.radices, 7), other(c.radices, 8);
  EXPECT_EQ(sample.distinct(), c.distinct);
  uint64_t ids = sample.product().value_or(2000) < 2000 ? *sample.product() : 2000;
  std::set<std::vector<size_t>> drawn;
  size_t differ = 0;
  for (uint64_t id = 0; id < ids; id++) {
    std::vector<size_t> values = sample.at(id);
    ASSERT_EQ(values.size(), c.radices.size());
    ASSERT_TRUE(std::equal(values.begin(), values.end(), c.radices.begin(), std::less<>())) << "in range";
    EXPECT_EQ(again.at(id), values);
    differ += other.at(id) != values ? 1 : 0;
    drawn.insert(values);
  }
  if (c.distinct) {
    EXPECT_EQ(drawn.size(), ids) << "no combination twice";
  } else {
    EXPECT_GT(drawn.size(), ids * 99 / 100);
  }
  if (ids > 1) {
    EXPECT_GT(differ, 0u) << "another seed, another sample";
  }
}

INSTANTIATE_TEST_SUITE_P(Covering, SeededSamples, ::testing::ValuesIn(kSamples),
                         [](const auto &info) { return "Sample" + std::to_string(info.index); });

// A matrix of 45 axes on the reference board: far beyond 64 bits in full.
std::string wideMatrix(const std::string &head) {
  std::string text = "[matrix]\nname = \"wide\"\nbase = \"" + std::string(KESH_SOURCE_DIR) +
                     "/boards/reference.toml\"\n" + head;
  for (size_t i = 0; i < 45; i++) {
    text += "[[axis]]\nkey = \"x.k" + std::to_string(i) + "\"\nvalues = [";
    for (size_t v = 0; v < manyDimensions()[i]; v++) {
      text += (v == 0 ? "" : ", ") + std::to_string(v);
    }
    text += "]\n";
  }
  return text;
}

TEST(MatrixPlans, AProductBeyond64BitsBootsAsACoveringOrASample) {
  ex::Matrix matrix = ex::parseMatrixToml(wideMatrix("full = [\"x.k3\", \"x.k5\"]\n"), "wide.toml");
  ex::MatrixOptions options;
  EXPECT_THROW(ex::planMatrix(matrix, options), ex::MatrixError) << "the full product overflows";
  options.strategy = ex::MatrixStrategy::Pairwise;
  ex::MatrixPlan pairwise = ex::planMatrix(matrix, options);
  ex::MatrixPlanSummary summary = pairwise.summary(pairwise.size());
  EXPECT_FALSE(summary.combinations.has_value());
  EXPECT_EQ(summary.combinationsText, "105287751717707643215885107200000000");
  EXPECT_EQ(summary.covered, summary.tuples);
  EXPECT_EQ(summary.multiplied, (std::vector<std::string>{"x.k3", "x.k5"}));
  EXPECT_LT(pairwise.summary(3).covered, summary.covered) << "a limit covers less";
  std::set<std::pair<size_t, size_t>> both;
  for (size_t id = 0; id < pairwise.size(); id++) {
    auto combination = pairwise.combination(id);
    both.emplace(*combination[3], *combination[5]);
  }
  EXPECT_EQ(both.size(), manyDimensions()[3] * manyDimensions()[5]) << "the multiplied axes in full";

  options.strategy.reset();
  options.sample = 1000000;
  options.seed = 3;
  ex::MatrixPlan sample = ex::planMatrix(matrix, options);
  EXPECT_EQ(sample.size(), 1000000u);
  EXPECT_EQ(sample.combination(999999), ex::planMatrix(matrix, options).combination(999999));
  EXPECT_THROW(sample.combination(1000000), std::out_of_range);
}

TEST(MatrixPlans, APairwiseMatrixBootsEveryPairOfValues) {
  ex::Matrix matrix =
      ex::parseMatrixToml("[matrix]\nname = \"pairs\"\nbase = \"" + std::string(KESH_SOURCE_DIR) +
                              "/boards/reference.toml\"\nstrategy = \"pairwise\"\n" +
                              "[[axis]]\nkey = \"platform.identity.system_id\"\nvalues = [2039, 2040, 2041]\n"
                              "[[axis]]\nkey = \"platform.sata.mode\"\nvalues = [0, 1, 2]\n"
                              "[[axis]]\nkey = \"platform.identity.pwd\"\nvalues = [0, 1, 2]\n"
                              "[[axis]]\nkey = \"s3.resume\"\nvalues = [false, true]\n",
                          "pairs.toml");
  ex::MatrixOptions options;
  options.driverImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";
  options.threads = 2;
  ex::MatrixResult result = ex::runMatrix(matrix, options);
  ex::MatrixPlan plan = ex::planMatrix(matrix, options);
  EXPECT_EQ(result.booted, plan.size());
  EXPECT_LE(result.booted, 11u);
  EXPECT_GE(result.booted, 9u) << "3 x 3 values need 9 rows";
  std::set<std::vector<size_t>> pairs;
  for (const ex::MatrixOutcome &outcome : result.outcomes) {
    EXPECT_EQ(outcome.example.error, "") << outcome.example.label;
    EXPECT_EQ(outcome.example.label, matrix.label(plan.combination(outcome.example.index)))
        << "the boot ran the plan's combination";
  }
  for (size_t id = 0; id < result.booted; id++) {
    auto combination = plan.combination(id);
    for (size_t a = 0; a < 4; a++) {
      for (size_t b = a + 1; b < 4; b++) {
        pairs.insert({a, b, *combination[a], *combination[b]});
      }
    }
  }
  EXPECT_EQ(pairs.size(), 3u * 9 + 3 * 6);
  EXPECT_EQ(result.plan.covered, pairs.size());
  EXPECT_NE(ex::matrixText(result).find(
                "-- strategy: pairwise, 4 dimensions, 11 values: 45 of 45 pairs covered in " +
                std::to_string(result.booted) + " boots"),
            std::string::npos)
      << ex::matrixText(result);
  nlohmann::json json = ex::matrixJson(result);
  EXPECT_EQ(json.at("strategy"), "pairwise");
  EXPECT_EQ(json.at("covered"), 45);
}

TEST(MatrixPlans, StrategiesThatCannotBeAreRefusedWithTheLine) {
  const std::string head =
      "[matrix]\nname = \"m\"\nbase = \"" + std::string(KESH_SOURCE_DIR) + "/boards/reference.toml\"\n";
  const std::string axes = "[[axis]]\nkey = \"a\"\nvalues = [1, 2]\n[[axis]]\nkey = \"b\"\nvalues = [1]\n";
  const std::pair<std::string, std::string> refused[] = {
      {"strategy = \"t4\"\n" + axes,
       "m.toml:4: key 'matrix.strategy': must be \"full\", \"pairwise\" or \"t3\""},
      {"full = [\"a\", \"c\"]\n" + axes, "m.toml:4: key 'matrix.full': 'c' is not the name of an axis"},
      {"full = [\"b\", \"b\"]\n" + axes, "m.toml:4: key 'matrix.full': 'b' is named twice"},
      {"full = \"a\"\n" + axes, "m.toml:4: key 'matrix.full': must be a list of axis names"},
      {"strategy = \"t3\"\n" + axes + "[[case]]\na = 2\n",
       "m.toml:4: key 'matrix.strategy': t3: the matrix lists its cases, which boot as they are"},
      {"stratgy = \"t3\"\n" + axes,
       "m.toml:4: key 'matrix.stratgy': is not a matrix setting (name, base, strategy, full)"},
  };
  for (const auto &[text, expected] : refused) {
    try {
      ex::parseMatrixToml(head + text, "m.toml");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const ex::MatrixError &error) {
      EXPECT_EQ(std::string(error.what()), expected);
    }
  }
  // Given on the command line instead, the same refusals.
  ex::Matrix cases = ex::parseMatrixToml(head + axes + "[[case]]\na = 2\n", "m.toml");
  ex::MatrixOptions options;
  options.strategy = ex::MatrixStrategy::Pairwise;
  EXPECT_THROW(ex::planMatrix(cases, options), ex::MatrixError);
  options.sample = 3;
  EXPECT_THROW(ex::planMatrix(cases, options), std::invalid_argument) << "a sample is of the full product";
}

} // namespace
