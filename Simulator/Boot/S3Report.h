// SPDX-License-Identifier: BSD-2-Clause-Patent
// The S3 save part of a boot's report: the configuration window, the
// library's shared state, the debug-print service's lines, every hand-off
// to SMM with the message bytes and the table decoded entry by entry, and
// the sleep and resume; and a saved table on its own.
#pragma once

#include "Record.h"

#include <nlohmann/json.hpp>

#include <span>
#include <string>
#include <utility>

namespace sim {

// "F0 61 40 5C ..." in lines of 16 bytes.
std::string hexBytes(std::span<const uint8_t> bytes, const std::string &indent);
// The header line and one line per entry, or the problems.
std::string s3TableText(const S3TableDecode &table, const std::string &indent);
// Its first and last part, for a table decoded entry by entry: each entry's
// line is indent + "  " + describeS3Entry.
std::string s3TableHeaderText(const S3TableDecode &table, const std::string &indent);
std::string s3TableProblemsText(const S3TableDecode &table, const std::string &indent);
nlohmann::json s3TableJson(const S3TableDecode &table);
nlohmann::json s3EntryJson(const S3TableEntry &entry);

// The same JSON written entry by entry, the text of dump(2) to the byte:
// the text of `report` (a table's JSON) before the value of its "entries"
// and after it; and each entry of the array at `indent` ("    " for the
// top-level array). Elements are joined by ",\n", the array is "[\n" ...
// "\n  ]", or "[]" when empty.
std::pair<std::string, std::string> s3TableJsonAround(nlohmann::json report);
std::string s3EntryJsonText(const S3TableEntry &entry, const std::string &indent);

std::string s3TextSummary(const S3Record &s3);
nlohmann::json s3JsonReport(const S3Record &s3);

} // namespace sim
