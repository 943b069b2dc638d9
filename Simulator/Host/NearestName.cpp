// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "NearestName.h"

#include <algorithm>
#include <cctype>

namespace sim {

namespace {

size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); j++) {
    row[j] = j;
  }
  for (size_t i = 1; i <= a.size(); i++) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); j++) {
      size_t above = row[j];
      bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                  std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

} // namespace

std::optional<std::string> closestName(std::string_view name, const std::vector<std::string_view> &candidates,
                                       size_t fraction) {
  // A part of the name may be wrong, at least one letter: past that a
  // suggestion is a guess.
  size_t best = std::max<size_t>(1, name.size() / fraction) + 1;
  std::optional<std::string> found;
  for (std::string_view candidate : candidates) {
    size_t distance = editDistance(name, candidate);
    if (distance < best) {
      best = distance;
      found = std::string(candidate);
    }
  }
  return found;
}

std::string didYouMean(std::string_view name, const std::vector<std::string_view> &candidates) {
  std::optional<std::string> near = closestName(name, candidates);
  return near ? " (did you mean " + *near + "?)" : "";
}

} // namespace sim
