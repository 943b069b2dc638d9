// The S3 save part of a boot's report: the configuration window, the
// library's shared state, the debug-print service's lines, every hand-off
// to SMM with the message bytes and the table decoded entry by entry, and
// the sleep and resume.
#pragma once

#include "Boot.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <span>
#include <string>

namespace sim {

struct S3LibraryState {
  uint64_t address = 0;               // PCD 214
  std::optional<S3PrivateData> data;  // when the address is live pool
  std::optional<S3TableDecode> table; // when TableBase is live pool (not handed off)
  std::string state;                  // "no private data", "before ready-to-lock", "recording", "closed"
};
S3LibraryState s3LibraryState(Simulation &simulation);

// "F0 61 40 5C ..." in lines of 16 bytes.
std::string hexBytes(std::span<const uint8_t> bytes, const std::string &indent);
// The header line and one line per entry, or the problems.
std::string s3TableText(const S3TableDecode &table, const std::string &indent);
nlohmann::json s3TableJson(const S3TableDecode &table);

// A PCD value as the report shows it: a pointer into live pool (such as
// the S3 save library's private data) by the block it names, since host
// addresses differ from run to run; anything else in hexadecimal.
std::string pcdValueText(Simulation &simulation, uint64_t value);

std::string s3TextSummary(Simulation &simulation);
nlohmann::json s3JsonReport(Simulation &simulation);

} // namespace sim
