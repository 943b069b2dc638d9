// SPDX-License-Identifier: BSD-2-Clause-Patent
// "Did you mean ...?": the name a slip of the keyboard most likely meant.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// The candidate a mistyped name most likely meant: the nearest by edit
// distance (ignoring case), when it is near enough to be a typing slip: at
// most one edit per `fraction` letters of the name, and one at least. A
// command line is typed by hand, so a third of it may be off; a board
// names things that other names resemble, so it gets less slack.
std::optional<std::string> closestName(std::string_view name, const std::vector<std::string_view> &candidates,
                                       size_t fraction = 3);

// " (did you mean NAME?)", or "" when no candidate is near.
std::string didYouMean(std::string_view name, const std::vector<std::string_view> &candidates);

} // namespace sim
