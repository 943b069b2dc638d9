// SPDX-License-Identifier: BSD-2-Clause-Patent
// A Markdown summary of a run of boots, for a pull-request comment: the
// result, the totals, the checks that did not pass and the outcomes the
// boards expect, with their reasons. No timestamps: the same run gives the
// same text.
#pragma once

#include "Report/Suites.h"

#include <string>
#include <string_view>

namespace sim::report {

// Text for a table cell: one line, Markdown and HTML punctuation escaped.
std::string markdownCell(std::string_view text);

std::string markdownSummary(const TestRun &run);

} // namespace sim::report
