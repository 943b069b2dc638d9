// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "ExitStatus.h"

#include "Host/OutputFile.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace dxesim {

namespace {

// The file a path names, as far as it can be told before it is written.
std::string identity(const std::string &path) {
  if (path == "-") {
    return path;
  }
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(std::filesystem::absolute(path), error);
  return error ? std::filesystem::absolute(path).lexically_normal().string() : resolved.string();
}

} // namespace

void refuseSharedOutputs(const std::vector<std::pair<std::string, std::string>> &outputs) {
  for (size_t i = 0; i < outputs.size(); i++) {
    for (size_t j = i + 1; j < outputs.size(); j++) {
      const auto &[first, a] = outputs[i];
      const auto &[second, b] = outputs[j];
      if (a.empty() || b.empty()) {
        continue;
      }
      std::error_code error;
      if (identity(a) == identity(b) || std::filesystem::equivalent(a, b, error)) {
        throw UsageError(fmt::format("{} and {} both write to {}: give each output its own file", first,
                                     second, a == "-" ? "standard output" : a));
      }
    }
  }
}

int withFlushedOutput(int status) {
  errno = 0;
  if (!sim::flushedCleanly(stdout)) {
    int error = errno;
    std::fprintf(stderr, "dxesim: standard output: cannot be written: %s\n",
                 error != 0 ? std::strerror(error) : "a write failed");
    return kExitError;
  }
  return status;
}

} // namespace dxesim
