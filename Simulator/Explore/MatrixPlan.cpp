// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore/MatrixPlan.h"

#include <fmt/format.h>

#include <numeric>
#include <stdexcept>

namespace sim::explore {

namespace {

// splitmix64's finaliser: every input bit reaches every output bit, so
// neighbouring ids and seeds give unrelated values.
uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// A value below `range` from 64 random bits, without the bias of `%`
// toward small values when the range is large.
size_t below(uint64_t bits, size_t range) {
  return static_cast<size_t>((static_cast<unsigned __int128>(bits) * range) >> 64);
}

std::optional<uint64_t> productOf(const std::vector<size_t> &radices) {
  uint64_t total = 1;
  for (size_t radix : radices) {
    if (__builtin_mul_overflow(total, radix, &total)) {
      return std::nullopt;
    }
  }
  return total;
}

// The product in decimal, for a count that 64 bits cannot hold.
std::string decimalProduct(const std::vector<size_t> &radices) {
  std::vector<uint32_t> limbs{1}; // base 10^9, least significant first
  for (size_t radix : radices) {
    uint64_t carry = 0;
    for (uint32_t &limb : limbs) {
      unsigned __int128 value = static_cast<unsigned __int128>(limb) * radix + carry;
      limb = static_cast<uint32_t>(value % 1000000000);
      carry = static_cast<uint64_t>(value / 1000000000);
    }
    for (; carry != 0; carry /= 1000000000) {
      limbs.push_back(static_cast<uint32_t>(carry % 1000000000));
    }
  }
  std::string text = fmt::format("{}", limbs.back());
  for (size_t i = limbs.size() - 1; i-- > 0;) {
    text += fmt::format("{:09}", limbs[i]);
  }
  return text;
}

std::vector<size_t> decode(uint64_t index, const std::vector<size_t> &radices) {
  std::vector<size_t> out(radices.size());
  for (size_t i = radices.size(); i-- > 0;) { // the first changes slowest
    out[i] = static_cast<size_t>(index % radices[i]);
    index /= radices[i];
  }
  return out;
}

std::vector<std::optional<size_t>> chosen(const std::vector<size_t> &values) {
  return {values.begin(), values.end()};
}

} // namespace

SeededSample::SeededSample(std::vector<size_t> radices, uint64_t seed)
    : radices_(std::move(radices)), seed_(seed), product_(productOf(radices_)) {
  if (product_) {
    // Any scale coprime to the product permutes the indexes; the shift
    // moves the first id off index 0.
    uint64_t total = *product_;
    scale_ = mix(seed) % total;
    while (std::gcd(scale_, total) != 1) {
      scale_++;
    }
    shift_ = mix(seed ^ 0x5DEECE66DULL) % total;
  }
}

std::vector<size_t> SeededSample::at(uint64_t id) const {
  if (product_) {
    uint64_t index =
        static_cast<uint64_t>((static_cast<unsigned __int128>(scale_) * id + shift_) % *product_);
    return decode(index, radices_);
  }
  uint64_t boot = mix(mix(seed_) ^ id);
  std::vector<size_t> out(radices_.size());
  for (size_t d = 0; d < radices_.size(); d++) {
    out[d] = below(mix(boot + d * 0x9E3779B97F4A7C15ULL), radices_[d]);
  }
  return out;
}

std::vector<std::optional<size_t>> MatrixPlan::combination(size_t id) const {
  if (id >= boots_) {
    throw std::out_of_range(fmt::format("boot {} of a plan of {}", id, boots_));
  }
  switch (kind_) {
  case Kind::Product:
    return chosen(decode(id, radices_));
  case Kind::Cases:
    return cases_[id];
  case Kind::Rows:
    return {rows_.rows[id].begin(), rows_.rows[id].end()};
  case Kind::Sample:
    break;
  }
  std::vector<size_t> drawn = sample_->at(id);
  return cases_.empty() ? chosen(drawn) : cases_[drawn.front()];
}

MatrixPlanSummary MatrixPlan::summary(size_t booted) const {
  MatrixPlanSummary out = summary_;
  if (kind_ == Kind::Rows) {
    out.covered = coveredTuples(shape_, rows_.rows, booted);
  }
  return out;
}

MatrixPlan planMatrix(const Matrix &matrix, const MatrixOptions &options) {
  if ((options.sample && *options.sample == 0) || (options.limit && *options.limit == 0)) {
    throw std::invalid_argument("a matrix run boots at least one combination");
  }
  MatrixStrategy strategy = options.strategy.value_or(matrix.strategy);
  if (options.sample && options.strategy && *options.strategy != MatrixStrategy::Full) {
    throw std::invalid_argument(
        fmt::format("a sample is drawn from the full product, not with strategy {}", strategyName(strategy)));
  }
  MatrixPlan plan;
  MatrixPlanSummary &summary = plan.summary_;
  for (const MatrixAxis &axis : matrix.axes) {
    plan.radices_.push_back(axis.values.size());
    summary.values += axis.values.size();
  }
  summary.dimensions = matrix.axes.size();
  plan.cases_ = matrix.cases;
  if (!matrix.cases.empty()) {
    summary.combinations = matrix.cases.size();
    summary.combinationsText = fmt::format("{}", matrix.cases.size());
  } else {
    summary.combinations = productOf(plan.radices_);
    summary.combinationsText = decimalProduct(plan.radices_);
  }

  if (options.sample) {
    plan.kind_ = MatrixPlan::Kind::Sample;
    plan.sample_.emplace(matrix.cases.empty() ? plan.radices_ : std::vector<size_t>{matrix.cases.size()},
                         options.seed);
    // A sample as large as the matrix is the whole of it, each once.
    plan.boots_ = static_cast<size_t>(
        std::min<uint64_t>(*options.sample, plan.sample_->product().value_or(*options.sample)));
    summary.strategy = "sample";
    summary.seed = options.seed;
    summary.distinct = plan.sample_->distinct();
    summary.boots = plan.boots_;
    return plan;
  }

  if (strategy == MatrixStrategy::Full) {
    if (!matrix.cases.empty()) {
      plan.kind_ = MatrixPlan::Kind::Cases;
      plan.boots_ = matrix.cases.size();
      summary.strategy = "cases";
    } else {
      size_t total = matrix.size(); // refuses a product that overflows
      if (total > kMaxMatrixBoots) {
        throw MatrixError(
            fmt::format("{}: {} combinations, more than the {} one run boots: choose some with --sample N",
                        matrix.source, total, kMaxMatrixBoots));
      }
      plan.kind_ = MatrixPlan::Kind::Product;
      plan.boots_ = total;
    }
    summary.boots = plan.boots_;
    return plan;
  }

  summary.strategy = strategyName(strategy);
  if (!matrix.cases.empty()) {
    throw MatrixError(fmt::format("{}: strategy {}: the matrix lists its cases, which boot as they are",
                                  matrix.source, summary.strategy));
  }
  plan.kind_ = MatrixPlan::Kind::Rows;
  plan.shape_ = CoveringShape{plan.radices_, strategy == MatrixStrategy::T3 ? 3u : 2u, matrix.fullAxes};
  try {
    plan.rows_ = coveringArray(plan.shape_);
  } catch (const std::invalid_argument &error) {
    throw MatrixError(fmt::format("{}: strategy {}: {}", matrix.source, summary.strategy, error.what()));
  }
  if (plan.rows_.rows.size() > kMaxMatrixBoots) {
    throw MatrixError(fmt::format("{}: strategy {}: {} boots, more than the {} one run boots", matrix.source,
                                  summary.strategy, plan.rows_.rows.size(), kMaxMatrixBoots));
  }
  plan.boots_ = plan.rows_.rows.size();
  summary.boots = plan.boots_;
  summary.strength = plan.shape_.strength;
  summary.tuples = plan.rows_.tuples;
  summary.covered = plan.rows_.covered;
  for (size_t axis : matrix.fullAxes) {
    summary.multiplied.push_back(matrix.axes[axis].name);
  }
  return plan;
}

} // namespace sim::explore
