// SPDX-License-Identifier: BSD-2-Clause-Patent
// The greedy cover --minimise keeps combinations by: each expected list
// is the smallest cover of its sets that the rules (ties, drops) give.
#include "Explore/Minimise.h"

#include <gtest/gtest.h>

namespace {

struct CoverCase {
  const char *name;
  std::vector<std::vector<uint32_t>> sets;
  std::vector<size_t> kept;
};

class GreedyCover : public testing::TestWithParam<CoverCase> {};

TEST_P(GreedyCover, KeepsTheseSets) {
  const CoverCase &c = GetParam();
  EXPECT_EQ(sim::explore::greedyCover(c.sets), c.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GreedyCover,
    testing::Values(CoverCase{"NoSets", {}, {}}, CoverCase{"OnlyEmptySets", {{}, {}}, {}},
                    CoverCase{"EmptySetsNeverKept", {{}, {1, 2}, {}, {3}}, {1, 3}},
                    // Two sets add as much: the earlier wins, at every step.
                    CoverCase{"TieGoesToTheEarlier", {{1, 2}, {3, 4}, {1, 2}, {3, 4}}, {0, 1}},
                    // Both add 5 and 6 once the first is taken; their sizes tie too.
                    CoverCase{"TieAfterAPick", {{1, 2, 3, 4}, {1, 5, 6}, {2, 5, 6}}, {0, 1}},
                    CoverCase{"IdenticalSetsKeepTheFirst", {{7, 8, 9}, {7, 8, 9}, {7, 8, 9}}, {0}},
                    CoverCase{"OneSetCoversAll", {{1}, {2, 3}, {1, 2, 3, 4}, {4}}, {2}},
                    // The largest set goes first; the picks that hold the rest hold it
                    // too: it is dropped.
                    CoverCase{"RedundantPickDropped", {{1, 2, 3, 4}, {1, 2, 5}, {3, 4, 6}}, {1, 2}},
                    CoverCase{"RedundantPickDroppedAmongThree",
                              {{1, 2, 3, 4, 5, 6}, {1, 2, 7}, {3, 4, 8}, {5, 6, 9}},
                              {1, 2, 3}},
                    CoverCase{"SparseEdgeValues", {{0, 0xFFFFFFFF}, {0x80000000}, {0}}, {0, 1}}),
    [](const testing::TestParamInfo<CoverCase> &info) { return std::string(info.param.name); });

} // namespace
