// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim's exit statuses, one list for every command, and what decides
// the last of them: a usage error, and output that did not arrive.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace dxesim {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;     // an unreadable file, a missing image, a lost write
constexpr int kExitBadBoard = 2;  // a board or matrix file that cannot be used; shards that are not one run
constexpr int kExitHalted = 3;    // the machine halted
constexpr int kExitViolation = 4; // a check failed (boot), a boot broke a rule (sweep, matrix)
constexpr int kExitUsage = 64;    // the command line itself

constexpr const char *kExitStatuses =
    "Exit status: 0 boot completed and every check as expected (s3 decode: table valid);\n"
    "1 error (an unreadable file, a missing image, output that could not be written; s3 decode:\n"
    "table malformed); 2 bad board or matrix file (merge: shards that are not one run); 3 machine\n"
    "halted; 4 a check failed that the board does not expect to fail (with --strict, also a warning;\n"
    "sweep, matrix, merge: a boot broke a rule);\n"
    "64 usage error.";

class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Each output an option names, as (option, path); "-" is standard output.
// Two options naming the same file (or both standard output) would have
// one overwrite the other: a UsageError.
void refuseSharedOutputs(const std::vector<std::pair<std::string, std::string>> &outputs);

// `status`, once standard output has been flushed; if anything written
// there was lost (a full disk, /dev/full), the error is said on standard
// error and the status is kExitError.
int withFlushedOutput(int status);

} // namespace dxesim
