// SPDX-License-Identifier: BSD-2-Clause-Patent
// Files a test writes live in a directory of its own, made unique by
// mkdtemp and removed when the test is done: ctest runs tests side by side
// (and a developer may run the host and sanitizer suites at once), so no
// two tests may share a path under the temporary directory.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

class ScratchDir {
public:
  explicit ScratchDir(const std::string &prefix = "kesh-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot make a scratch directory from " + pattern);
    }
    root_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  const std::filesystem::path &root() const { return root_; }
  std::string path(const std::string &name) const { return (root_ / name).string(); }
  // Writes the bytes as they are and returns the file's path.
  std::string file(const std::string &name, const std::string &bytes) const {
    std::string full = path(name);
    std::ofstream(full, std::ios::binary) << bytes;
    return full;
  }

private:
  std::filesystem::path root_;
};

// The test process's own scratch directory, for tests that only need a
// place to put a file or two.
inline const ScratchDir &processScratch() {
  static const ScratchDir scratch;
  return scratch;
}
