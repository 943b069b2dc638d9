// SPDX-License-Identifier: BSD-2-Clause-Patent
// Splitting one campaign (a matrix run, a failure sweep) over machines:
// every boot has a stable id in the run's plan, shard I of N boots the ids
// with id % N == I, and each shard carries a digest of the whole plan so
// that only shards of one run are put back together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim::explore {

struct Shard {
  size_t index = 0;
  size_t count = 1; // 1: the whole run
  bool has(size_t id) const { return id % count == index; }
  bool operator==(const Shard &) const = default;
};

// A 64-bit FNV-1a digest, written as 16 hexadecimal digits: enough to tell
// two plans apart, not a defence against a forger.
class PlanDigest {
public:
  PlanDigest &add(std::string_view text);
  PlanDigest &add(uint64_t value);
  std::string hex() const;

private:
  void byte(uint8_t value);
  uint64_t state_ = 0xCBF29CE484222325ULL;
};

struct Matrix;

// The digest of a matrix run's plan: the matrix itself (its name, base
// board, axes and cases, not where its file lies) and every id the run
// boots over all its shards.
std::string matrixPlanDigest(const Matrix &matrix, const std::vector<size_t> &ids);

} // namespace sim::explore
