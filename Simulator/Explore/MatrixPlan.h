// SPDX-License-Identifier: BSD-2-Clause-Patent
// A matrix run's plan: which combination each boot id stands for. The full
// product decodes the id as a mixed-radix number, listed cases and
// covering rows are looked up, a sample derives the combination from the
// seed and the id. No plan holds more than its covering rows, so a sample
// of a million boots, or of a product beyond 64 bits, costs nothing until
// each id boots.
#pragma once

#include "Explore/Covering.h"
#include "Explore/Matrix.h"

#include <optional>
#include <vector>

namespace sim::explore {

// Combinations drawn from a product of `radices` by seed and id alone.
// When the product fits 64 bits, ids below it map to distinct
// combinations (an affine permutation of the index space); beyond that,
// each dimension's value is hashed from the seed, the id and the
// dimension.
class SeededSample {
public:
  SeededSample(std::vector<size_t> radices, uint64_t seed);
  std::vector<size_t> at(uint64_t id) const;
  bool distinct() const { return product_.has_value(); }
  std::optional<uint64_t> product() const { return product_; }

private:
  std::vector<size_t> radices_;
  uint64_t seed_;
  std::optional<uint64_t> product_;
  uint64_t scale_ = 1, shift_ = 0; // index = (scale * id + shift) mod product
};

class MatrixPlan {
public:
  enum class Kind { Product, Cases, Rows, Sample };

  size_t size() const { return boots_; } // ids 0..size()-1
  std::vector<std::optional<size_t>> combination(size_t id) const;
  // The plan as the reports tell it, with the coverage of the first
  // `booted` ids.
  MatrixPlanSummary summary(size_t booted) const;

private:
  friend MatrixPlan planMatrix(const Matrix &matrix, const MatrixOptions &options);

  Kind kind_ = Kind::Product;
  size_t boots_ = 0;
  std::vector<size_t> radices_;                           // the axes' value counts
  std::vector<std::vector<std::optional<size_t>>> cases_; // Cases
  CoveringShape shape_;                                   // Rows
  CoveringArray rows_;                                    // Rows
  std::optional<SeededSample> sample_;                    // Sample (of the cases when there are)
  MatrixPlanSummary summary_;
};

// The plan the matrix and the options ask for: the options' strategy or
// the file's, a sample when one is asked for. Refuses (MatrixError) a full
// product that overflows or is more than kMaxMatrixBoots without a sample,
// a covering of listed cases and a covering too large to hold; a sample
// or limit of 0, or a sample with a covering strategy given in the
// options, is std::invalid_argument.
MatrixPlan planMatrix(const Matrix &matrix, const MatrixOptions &options);

} // namespace sim::explore
