// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore/Covering.h"

#include <fmt/format.h>

#include <algorithm>
#include <numeric>
#include <stdexcept>

namespace sim::explore {

namespace {

// The most tuples one step keeps track of (one byte each); beyond it the
// shape is more than a run could boot anyway.
constexpr uint64_t kMaxStepTuples = uint64_t{1} << 27;

constexpr int32_t kUnset = -1;

// Calls `visit` with every k-subset of 0..n-1, in lexicographic order.
template <typename Visit> void forEachSubset(size_t n, size_t k, Visit &&visit) {
  std::vector<size_t> subset(k);
  std::iota(subset.begin(), subset.end(), size_t{0});
  if (k > n) {
    return;
  }
  for (;;) {
    visit(subset);
    size_t i = k;
    while (i > 0 && subset[i - 1] == n - k + i - 1) {
      i--;
    }
    if (i == 0) {
      return;
    }
    subset[i - 1]++;
    for (size_t j = i; j < k; j++) {
      subset[j] = subset[j - 1] + 1;
    }
  }
}

uint64_t checkedProduct(uint64_t a, uint64_t b, uint64_t limit, const char *what) {
  uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product) || product > limit) {
    throw std::invalid_argument(fmt::format("{}: more than {}", what, limit));
  }
  return product;
}

// The shape as the generator sees it: the multiplied dimensions folded into
// one composite dimension, in the place of the first of them.
struct Folded {
  std::vector<uint64_t> sizes;
  std::vector<size_t> column;     // each original dimension's folded column
  std::vector<size_t> multiplied; // sorted, distinct
  size_t composite = SIZE_MAX;    // the folded column of the group

  explicit Folded(const CoveringShape &shape) {
    if (shape.strength != 2 && shape.strength != 3) {
      throw std::invalid_argument(fmt::format("strength {}: only 2 and 3 are made", shape.strength));
    }
    for (size_t values : shape.values) {
      if (values == 0) {
        throw std::invalid_argument("a dimension has no values");
      }
    }
    multiplied = shape.multiplied;
    std::sort(multiplied.begin(), multiplied.end());
    multiplied.erase(std::unique(multiplied.begin(), multiplied.end()), multiplied.end());
    if (!multiplied.empty() && multiplied.back() >= shape.values.size()) {
      throw std::invalid_argument(
          fmt::format("multiplied dimension {} of {}", multiplied.back(), shape.values.size()));
    }
    column.resize(shape.values.size());
    uint64_t group = 1;
    for (size_t d = 0; d < shape.values.size(); d++) {
      bool inGroup = std::binary_search(multiplied.begin(), multiplied.end(), d);
      if (!inGroup) {
        column[d] = sizes.size();
        sizes.push_back(shape.values[d]);
        continue;
      }
      group = checkedProduct(group, shape.values[d], kMaxMultipliedCombinations,
                             "the multiplied dimensions' combinations");
      if (composite == SIZE_MAX) {
        composite = sizes.size();
        sizes.push_back(0);
      }
      column[d] = composite;
    }
    if (composite != SIZE_MAX) {
      sizes[composite] = group;
    }
  }

  std::vector<uint64_t> fold(const CoveringShape &shape, const CoveringRow &row) const {
    std::vector<uint64_t> out(sizes.size(), 0);
    for (size_t d = 0; d < row.size(); d++) {
      if (column[d] == composite) {
        out[composite] = out[composite] * shape.values[d] + row[d];
      } else {
        out[column[d]] = row[d];
      }
    }
    return out;
  }

  CoveringRow unfold(const CoveringShape &shape, const std::vector<int32_t> &folded) const {
    CoveringRow out(shape.values.size());
    uint64_t group = composite == SIZE_MAX ? 0 : static_cast<uint64_t>(folded[composite]);
    for (size_t d = shape.values.size(); d-- > 0;) {
      if (column[d] == composite) {
        out[d] = static_cast<uint32_t>(group % shape.values[d]); // the last dimension changes fastest
        group /= shape.values[d];
      } else {
        out[d] = static_cast<uint32_t>(folded[column[d]]);
      }
    }
    return out;
  }
};

// The greedy construction over plain dimensions. Entries are kUnset until
// something needs them, so that later dimensions can still place tuples
// in rows made earlier.
class Builder {
public:
  Builder(std::vector<uint64_t> sizes, unsigned strength)
      : sizes_(std::move(sizes)), strength_(std::min<size_t>(strength, sizes_.size())) {}

  std::vector<std::vector<int32_t>> build() {
    size_t columns = sizes_.size();
    if (columns == 0) {
      return {{}};
    }
    // The first `strength` columns: their full product.
    uint64_t start = 1;
    for (size_t c = 0; c < strength_; c++) {
      start = checkedProduct(start, sizes_[c], kMaxStepTuples, "tuples of one step");
    }
    for (uint64_t i = 0; i < start; i++) {
      std::vector<int32_t> row(columns, kUnset);
      uint64_t rest = i;
      for (size_t c = strength_; c-- > 0;) {
        row[c] = static_cast<int32_t>(rest % sizes_[c]);
        rest /= sizes_[c];
      }
      rows_.push_back(std::move(row));
    }
    for (size_t k = strength_; k < columns; k++) {
      addColumn(k);
    }
    // What no tuple needed: spread over the values rather than all the first.
    for (size_t r = 0; r < rows_.size(); r++) {
      for (size_t c = 0; c < columns; c++) {
        if (rows_[r][c] == kUnset) {
          rows_[r][c] = static_cast<int32_t>((r + c) % sizes_[c]);
        }
      }
    }
    return std::move(rows_);
  }

private:
  // The uncovered tuples of column k with each (strength-1)-subset of the
  // columns before it; a subset's tuples are stored together.
  struct Step {
    std::vector<std::vector<size_t>> subsets;
    std::vector<uint64_t> offsets;
    std::vector<uint8_t> uncovered;
    uint64_t width = 0; // values of column k
  };

  // The index of a row's values in a subset's block, before column k's
  // value; -1 when one of them is unset.
  int64_t base(const std::vector<int32_t> &row, const std::vector<size_t> &subset) const {
    int64_t index = 0;
    for (size_t c : subset) {
      if (row[c] == kUnset) {
        return -1;
      }
      index = index * static_cast<int64_t>(sizes_[c]) + row[c];
    }
    return index;
  }

  void cover(Step &step, const std::vector<int32_t> &row, size_t k) {
    if (row[k] == kUnset) {
      return;
    }
    for (size_t s = 0; s < step.subsets.size(); s++) {
      int64_t b = base(row, step.subsets[s]);
      if (b >= 0) {
        step.uncovered[step.offsets[s] + static_cast<uint64_t>(b) * step.width +
                       static_cast<uint64_t>(row[k])] = 0;
      }
    }
  }

  void addColumn(size_t k) {
    Step step;
    step.width = sizes_[k];
    uint64_t total = 0;
    forEachSubset(k, strength_ - 1, [&](const std::vector<size_t> &subset) {
      uint64_t block = step.width;
      for (size_t c : subset) {
        block = checkedProduct(block, sizes_[c], kMaxStepTuples, "tuples of one step");
      }
      step.subsets.push_back(subset);
      step.offsets.push_back(total);
      total = checkedProduct(1, total + block, kMaxStepTuples, "tuples of one step");
    });
    step.uncovered.assign(total, 1);

    // Horizontal: each row takes the value that covers the most new tuples;
    // a row that would cover none stays open for the rows added below.
    std::vector<int64_t> bases(step.subsets.size());
    std::vector<uint64_t> gain(step.width);
    for (std::vector<int32_t> &row : rows_) {
      for (size_t s = 0; s < step.subsets.size(); s++) {
        bases[s] = base(row, step.subsets[s]);
      }
      std::fill(gain.begin(), gain.end(), 0);
      for (size_t s = 0; s < step.subsets.size(); s++) {
        if (bases[s] < 0) {
          continue;
        }
        const uint8_t *block =
            &step.uncovered[step.offsets[s] + static_cast<uint64_t>(bases[s]) * step.width];
        for (uint64_t v = 0; v < step.width; v++) {
          gain[v] += block[v];
        }
      }
      auto best = std::max_element(gain.begin(), gain.end()); // the first of equals: deterministic
      if (*best == 0) {
        continue;
      }
      row[k] = static_cast<int32_t>(best - gain.begin());
      cover(step, row, k);
    }

    // Vertical: each tuple still missing goes into the first row whose
    // entries agree or are open, or into a new row.
    for (size_t s = 0; s < step.subsets.size(); s++) {
      const std::vector<size_t> &subset = step.subsets[s];
      uint64_t block = (s + 1 < step.offsets.size() ? step.offsets[s + 1] : total) - step.offsets[s];
      for (uint64_t i = 0; i < block; i++) {
        if (step.uncovered[step.offsets[s] + i] == 0) {
          continue;
        }
        std::vector<std::pair<size_t, int32_t>> wanted;
        uint64_t rest = i;
        wanted.emplace_back(k, static_cast<int32_t>(rest % step.width));
        rest /= step.width;
        for (size_t j = subset.size(); j-- > 0;) {
          wanted.emplace_back(subset[j], static_cast<int32_t>(rest % sizes_[subset[j]]));
          rest /= sizes_[subset[j]];
        }
        auto fits = [&](const std::vector<int32_t> &row) {
          return std::all_of(wanted.begin(), wanted.end(), [&](const auto &w) {
            return row[w.first] == kUnset || row[w.first] == w.second;
          });
        };
        auto row = std::find_if(rows_.begin(), rows_.end(), fits);
        if (row == rows_.end()) {
          rows_.emplace_back(sizes_.size(), kUnset);
          row = rows_.end() - 1;
        }
        for (const auto &[c, v] : wanted) {
          (*row)[c] = v;
        }
        cover(step, *row, k);
      }
    }
  }

  std::vector<uint64_t> sizes_;
  size_t strength_;
  std::vector<std::vector<int32_t>> rows_;
};

// Tuples of the folded shape the (folded) rows hold, and how many there are.
std::pair<uint64_t, uint64_t> coverage(const std::vector<uint64_t> &sizes, unsigned strength,
                                       const std::vector<std::vector<uint64_t>> &rows) {
  size_t t = std::min<size_t>(strength, sizes.size());
  uint64_t covered = 0, total = 0;
  std::vector<uint8_t> seen;
  forEachSubset(sizes.size(), t, [&](const std::vector<size_t> &subset) {
    uint64_t block = 1;
    for (size_t c : subset) {
      block = checkedProduct(block, sizes[c], kMaxStepTuples, "tuples of one subset");
    }
    seen.assign(block, 0);
    for (const std::vector<uint64_t> &row : rows) {
      uint64_t index = 0;
      for (size_t c : subset) {
        index = index * sizes[c] + row[c];
      }
      covered += seen[index] == 0 ? 1 : 0;
      seen[index] = 1;
    }
    total += block;
  });
  return {covered, total};
}

} // namespace

CoveringArray coveringArray(const CoveringShape &shape) {
  Folded folded(shape);
  // Largest first: the starting product then holds the hardest tuples, and
  // the greedy steps that follow add fewer rows.
  std::vector<size_t> order(folded.sizes.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return folded.sizes[a] > folded.sizes[b]; });
  std::vector<uint64_t> sorted;
  for (size_t c : order) {
    sorted.push_back(folded.sizes[c]);
  }
  CoveringArray out;
  std::vector<int32_t> row(order.size());
  for (const std::vector<int32_t> &built : Builder(sorted, shape.strength).build()) {
    for (size_t i = 0; i < order.size(); i++) {
      row[order[i]] = built[i];
    }
    out.rows.push_back(folded.unfold(shape, row));
  }
  out.tuples = tupleCount(shape);
  out.covered = coveredTuples(shape, out.rows, out.rows.size());
  return out;
}

uint64_t coveredTuples(const CoveringShape &shape, const std::vector<CoveringRow> &rows, size_t count) {
  Folded folded(shape);
  std::vector<std::vector<uint64_t>> foldedRows;
  for (size_t r = 0; r < std::min(count, rows.size()); r++) {
    foldedRows.push_back(folded.fold(shape, rows[r]));
  }
  return coverage(folded.sizes, shape.strength, foldedRows).first;
}

uint64_t tupleCount(const CoveringShape &shape) {
  Folded folded(shape);
  size_t t = std::min<size_t>(shape.strength, folded.sizes.size());
  uint64_t total = 0;
  bool overflow = false;
  forEachSubset(folded.sizes.size(), t, [&](const std::vector<size_t> &subset) {
    uint64_t block = 1;
    for (size_t c : subset) {
      overflow |= __builtin_mul_overflow(block, folded.sizes[c], &block);
    }
    overflow |= __builtin_add_overflow(total, block, &total);
  });
  return overflow ? 0 : total;
}

} // namespace sim::explore
