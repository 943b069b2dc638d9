// SPDX-License-Identifier: BSD-2-Clause-Patent
// What differs between two golden records of a boot (Golden.h), in order of
// meaning: the outcome and the verdicts, then hardware accesses, console
// lines and service calls, then the rest of the state the boots left.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace sim {

struct DiffSection {
  std::string title;              // "verdicts", "hardware", "console 0x3F8", "calls", "spi", ...
  std::vector<std::string> lines; // "- [12] ...", "+ [12] ...", "  spi.protect: pass -> fail: ..."
  size_t changes = 0;             // lines removed, added or changed
  // What the summary names of it: verdict changes, "spi.protect: pass -> fail".
  std::vector<std::string> headlines;
};

struct RecordDiff {
  std::vector<DiffSection> sections; // only those that differ, in the order above
  bool same() const { return sections.empty(); }
  // One line that groups boots that differ alike: the sections, with the
  // verdict changes named ("verdicts (spi.protect: pass -> fail), hardware");
  // a changed reason or count alone is the section's title.
  std::string summary() const;
};

// Throws std::invalid_argument when either is not a golden record of this
// format.
RecordDiff diffRecords(const nlohmann::json &a, const nlohmann::json &b);

// "== verdicts (1 change)" and its lines, each section cut at maxLines.
std::string diffText(const RecordDiff &diff, size_t maxLines = 40);

} // namespace sim
