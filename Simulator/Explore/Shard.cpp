// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore/Shard.h"

#include "Explore/Matrix.h"

#include <fmt/format.h>

#include <sstream>

namespace sim::explore {

void PlanDigest::byte(uint8_t value) {
  state_ = (state_ ^ value) * 0x100000001B3ULL;
}

PlanDigest &PlanDigest::add(std::string_view text) {
  // The length first: ("ab", "c") and ("a", "bc") differ.
  add(static_cast<uint64_t>(text.size()));
  for (char c : text) {
    byte(static_cast<uint8_t>(c));
  }
  return *this;
}

PlanDigest &PlanDigest::add(uint64_t value) {
  for (unsigned i = 0; i < 8; i++) {
    byte(static_cast<uint8_t>(value >> (8 * i)));
  }
  return *this;
}

std::string PlanDigest::hex() const {
  return fmt::format("{:016x}", state_);
}

std::string matrixPlanDigest(const Matrix &matrix, const std::vector<size_t> &ids) {
  PlanDigest digest;
  std::ostringstream base;
  base << matrix.base;
  digest.add("matrix").add(matrix.name).add(base.str()).add(matrix.axes.size());
  for (const MatrixAxis &axis : matrix.axes) {
    digest.add(axis.name).add(axis.key).add(axis.values.size());
    for (size_t i = 0; i < axis.values.size(); i++) {
      std::ostringstream value;
      if (axis.values[i]) {
        axis.values[i]->visit([&value](const auto &v) { value << toml::toml_formatter(v); });
      }
      digest.add(value.str()).add(axis.labels[i]);
    }
  }
  digest.add(matrix.cases.size());
  for (const auto &chosen : matrix.cases) {
    for (const std::optional<size_t> &value : chosen) {
      digest.add(value ? *value + 1 : 0);
    }
  }
  digest.add(ids.size());
  for (size_t id : ids) {
    digest.add(id);
  }
  return digest.hex();
}

} // namespace sim::explore
