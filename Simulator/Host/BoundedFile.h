// SPDX-License-Identifier: BSD-2-Clause-Patent
// Reading a file the user names (a board, a saved S3 table) without
// trusting it: bounded in size, and every refusal one line naming the path.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

// "PATH: is a directory, not a file" and the like.
class FileReadError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The whole file, at most `maxBytes`. Refuses a path that cannot be opened,
// a directory, a file larger than `maxBytes` and a special file (/dev/zero,
// a pipe) that has not ended after `maxBytes`.
std::vector<uint8_t> readBoundedFile(const std::string &path, uint64_t maxBytes);
std::string readBoundedText(const std::string &path, uint64_t maxBytes);

// Limits for what the simulator reads: far above any real board or table.
constexpr uint64_t kMaxBoardFileBytes = uint64_t{4} << 20;
constexpr uint64_t kMaxS3TableFileBytes = uint64_t{64} << 20;

} // namespace sim
