// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "OutputFile.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

namespace sim {

namespace {

[[noreturn]] void failed(const std::string &path, std::string_view what, int error) {
  throw FileWriteError(fmt::format("{}: cannot be written ({}): {}", path == "-" ? "standard output" : path,
                                   what, std::strerror(error != 0 ? error : EIO)));
}

} // namespace

void writeOutput(const std::string &path, std::string_view text, std::string_view what) {
  if (path == "-") {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0 ||
        std::ferror(stdout) != 0) {
      failed(path, what, errno);
    }
    return;
  }
  std::FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    failed(path, what, errno);
  }
  errno = 0;
  bool wrote = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
  int error = errno;
  if (std::fclose(file) != 0 && wrote) {
    wrote = false;
    error = errno;
  }
  if (!wrote) {
    failed(path, what, error);
  }
}

bool flushedCleanly(std::FILE *stream) {
  return std::fflush(stream) == 0 && std::ferror(stream) == 0;
}

} // namespace sim
