// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "BoundedFile.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

// Closes the descriptor on every way out.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

std::string reason(int error) {
  return std::strerror(error);
}

} // namespace

std::vector<uint8_t> readBoundedFile(const std::string &path, uint64_t maxBytes) {
  // O_NONBLOCK: opening a FIFO without a writer must not wait for one.
  Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0) {
    throw FileReadError(fmt::format("{}: cannot be read: {}", path, reason(errno)));
  }
  struct stat info {};
  if (::fstat(file.fd, &info) != 0) {
    throw FileReadError(fmt::format("{}: cannot be read: {}", path, reason(errno)));
  }
  if (S_ISDIR(info.st_mode)) {
    throw FileReadError(fmt::format("{}: is a directory, not a file", path));
  }
  bool regular = S_ISREG(info.st_mode);
  if (regular && static_cast<uint64_t>(info.st_size) > maxBytes) {
    throw FileReadError(
        fmt::format("{}: is {} bytes, larger than the {} bytes allowed", path, info.st_size, maxBytes));
  }
  // Reads block again from here: the FIFO case only needed a non-blocking open.
  int flags = ::fcntl(file.fd, F_GETFL);
  if (flags >= 0) {
    ::fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  for (;;) {
    ssize_t got = ::read(file.fd, chunk, sizeof(chunk));
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw FileReadError(fmt::format("{}: cannot be read: {}", path, reason(errno)));
    }
    if (got == 0) {
      break;
    }
    // Never hold more than the limit: a file that grows while it is read, or
    // a device that never ends, stops here.
    if (static_cast<uint64_t>(got) > maxBytes - bytes.size()) {
      throw FileReadError(
          regular ? fmt::format("{}: is larger than the {} bytes allowed", path, maxBytes)
                  : fmt::format("{}: is not a regular file and did not end within {} bytes", path, maxBytes));
    }
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  return bytes;
}

std::string readBoundedText(const std::string &path, uint64_t maxBytes) {
  std::vector<uint8_t> bytes = readBoundedFile(path, maxBytes);
  return std::string(bytes.begin(), bytes.end());
}

} // namespace sim
