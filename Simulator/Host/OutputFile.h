// SPDX-License-Identifier: BSD-2-Clause-Patent
// Writing what the user asked for, every write checked: a full disk, a
// closed pipe or /dev/full is an error naming the output, never a result
// silently lost.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sim {

class FileWriteError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Writes `text` to `path` ("-": standard output), flushed and, for a file,
// closed: "PATH: cannot be written (WHAT): REASON" on any failure.
void writeOutput(const std::string &path, std::string_view text, std::string_view what);

// Flushes a stream and tells whether everything written to it arrived; for
// the end of a command that printed to standard output.
bool flushedCleanly(std::FILE *stream);

} // namespace sim
