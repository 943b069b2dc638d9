// SPDX-License-Identifier: BSD-2-Clause-Patent
// Covering arrays: few rows that still put every t-tuple of values of any
// t dimensions side by side at least once. A matrix run boots the rows
// instead of the whole product, which a platform's dozens of axes make
// far too large to boot (or even to count in 64 bits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::explore {

// A row holds one value index per dimension.
using CoveringRow = std::vector<uint32_t>;

struct CoveringArray {
  std::vector<CoveringRow> rows;
  uint64_t tuples = 0;  // t-tuples there are to cover (a multiplied group counts as one dimension)
  uint64_t covered = 0; // of them, those the rows hold
};

// What a covering asks for. `values[i]` is the number of values of
// dimension i (at least 1); every combination of the `multiplied`
// dimensions appears, and each of them with every (t-1)-tuple of the rest.
struct CoveringShape {
  std::vector<size_t> values;
  unsigned strength = 2; // 2 or 3
  std::vector<size_t> multiplied;
};

// The most combinations a multiplied group may make: more would be more
// rows than a run boots.
constexpr uint64_t kMaxMultipliedCombinations = 1000000;

// Greedy in-parameter-order construction: the rows grow one dimension at a
// time, first by choosing that dimension's value in each existing row,
// then by adding rows for the tuples still missing. The same shape always
// gives the same rows. Throws std::invalid_argument for a strength other
// than 2 or 3, a dimension without values, a multiplied index out of range
// or a group or tuple space too large to hold.
CoveringArray coveringArray(const CoveringShape &shape);

// How many of the shape's t-tuples the first `count` rows hold (the rows
// of a covering of that shape, or any rows in range).
uint64_t coveredTuples(const CoveringShape &shape, const std::vector<CoveringRow> &rows, size_t count);

// The t-tuples of a shape, or 0 when they are too many to count in 64 bits.
uint64_t tupleCount(const CoveringShape &shape);

} // namespace sim::explore
