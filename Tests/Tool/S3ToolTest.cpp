// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim's S3 save commands as a user runs them: the table saved as it was
// handed off, and decoded again from the file.
#include "ScratchDir.h"
#include "ToolRun.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kS3Board = std::string(KESH_SOURCE_DIR) + "/boards/s3-resume.toml";

TEST(S3Tool, TheHandedOffTableIsSavedAndDecodesEntryByEntry) {
  std::string path = processScratch().path("s3-table.bin");
  std::remove(path.c_str());
  ToolRun boot = dxesim("boot " + kS3Board + " --save-s3 " + path);
  ASSERT_EQ(boot.exitCode, 0) << boot.output;
  EXPECT_NE(boot.output.find("-- S3 resume: 6 entries replayed, 6 registers compared, 0 mismatches"),
            std::string::npos)
      << boot.output;
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 0x4004u) << "the data area and the end marker";
  EXPECT_EQ(std::string(bytes.data(), 4), "OS3T");

  ToolRun decode = dxesim("s3 decode " + path);
  EXPECT_EQ(decode.exitCode, 0) << decode.output;
  EXPECT_NE(decode.output.find("(16388 bytes): valid"), std::string::npos) << decode.output;
  EXPECT_NE(decode.output.find("NextOffset 0xC0  terminator yes  end marker yes  6 entries"),
            std::string::npos)
      << decode.output;
  EXPECT_NE(decode.output.find("0x0030  mem-write  width  8-bit  address 0x00000000E0100040  value 0x5A\n"),
            std::string::npos)
      << decode.output;
  // Given the window, each address names the configuration register it writes.
  ToolRun named = dxesim("s3 decode " + path + " --window 0xE0000000");
  EXPECT_NE(named.output.find("address 0x00000000E0219010  value 0xC0DE0001  (02:03.1+0x010)"),
            std::string::npos)
      << named.output;
  ToolRun json = dxesim("s3 decode " + path + " --window 0xE0000000,256 --json -");
  ASSERT_EQ(json.exitCode, 0) << json.output;
  nlohmann::json report = nlohmann::json::parse(json.output);
  EXPECT_TRUE(report["valid"].get<bool>());
  ASSERT_EQ(report["entries"].size(), 6u);
  EXPECT_EQ(report["entries"][4]["type_name"], "mem-write");
  EXPECT_EQ(report["entries"][4]["register"]["function"], "02:03.1");
  EXPECT_EQ(report["entries"][4]["register"]["offset"], "0x10");
  EXPECT_EQ(report["entries"][4]["value"], "0xC0DE0001");

  // A damaged copy: the terminator overwritten.
  bytes[0xC0] = 0;
  std::string damaged = processScratch().path("s3-damaged.bin");
  std::ofstream(damaged, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ToolRun bad = dxesim("s3 decode " + damaged);
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.output.find("malformed"), std::string::npos) << bad.output;
  EXPECT_NE(bad.output.find("PROBLEM: no terminator 0xFFFF at NextOffset 0xC0"), std::string::npos)
      << bad.output;
}

TEST(S3Tool, NothingToSaveOrNothingToReadIsAnError) {
  std::string path = processScratch().path("s3-none.bin");
  std::remove(path.c_str());
  ToolRun boot = dxesim("boot --save-s3 " + path);
  EXPECT_EQ(boot.exitCode, 1);
  EXPECT_NE(boot.output.find("not written, no S3 save table was handed off"), std::string::npos)
      << boot.output;
  EXPECT_FALSE(std::ifstream(path).good());
  ToolRun missing = dxesim("s3 decode " + path);
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.output.find("cannot be read"), std::string::npos) << missing.output;
}

TEST(S3Tool, HostileFilesAreRefusedWithOneLineNamingThePath) {
  // NextOffset close to 2^64: NextOffset + 2 wraps, and a decoder that adds
  // before comparing reads before its buffer.
  std::vector<char> bytes(1 << 20, 0);
  auto put64 = [&](size_t offset, uint64_t value) {
    for (unsigned i = 0; i < 8; i++) {
      bytes[offset + i] = static_cast<char>(value >> (8 * i));
    }
  };
  put64(0, 0x000000015433534FULL); // "OS3T", version 1
  put64(0x20, bytes.size() - 4);
  put64(0x28, ~0ULL - 1);
  std::string wrap = processScratch().path("s3-wrap.bin");
  std::ofstream(wrap, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ToolRun run = dxesim("s3 decode " + wrap);
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find("PROBLEM: NextOffset 0xFFFFFFFFFFFFFFFE leaves no room for the terminator"),
            std::string::npos)
      << run.output;

  ToolRun zero = dxesim("s3 decode /dev/zero");
  EXPECT_EQ(zero.exitCode, 1);
  EXPECT_EQ(zero.output, "dxesim: /dev/zero: is not a regular file and did not end within 67108864 bytes\n");
  std::string dir = processScratch().root().string();
  ToolRun directory = dxesim("s3 decode " + dir);
  EXPECT_EQ(directory.exitCode, 1);
  EXPECT_EQ(directory.output, "dxesim: " + dir + ": is a directory, not a file\n");
}

// A large valid table (2 MiB, 87,000 entries) decodes to JSON in memory
// that does not grow with it: building the whole JSON tree took about a
// hundred bytes per byte of table.
TEST(S3Tool, ALargeTableDecodesInBoundedMemory) {
  constexpr uint64_t kLength = 0x4000 + 0x7F0 * 0x400;
  std::vector<char> bytes(kLength + 4, 0);
  auto put = [&](size_t offset, uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; i++) {
      bytes[offset + i] = static_cast<char>(value >> (8 * i));
    }
  };
  put(0, 0x000000015433534FULL, 8);
  put(0x20, kLength, 8);
  uint64_t at = 0x30, entries = 0;
  for (; at + 24 + 2 <= kLength; at += 24, entries++) {
    put(at, 3, 2);
    put(at + 4, 2, 4);
    put(at + 8, 0xE0100000 + (entries % 0x1000) * 4, 8);
    put(at + 16, entries, 8);
  }
  put(0x28, at, 8);
  put(at, 0xFFFF, 2);
  put(kLength, 0x01558844, 4);
  std::string table = processScratch().path("s3-large.bin");
  std::string json = processScratch().path("s3-large.json");
  std::ofstream(table, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

  pid_t child = fork();
  if (child == 0) {
    std::freopen("/dev/null", "w", stdout);
#if defined(__SANITIZE_ADDRESS__)
    // Memory freed stays in the sanitizer's quarantine (256 MiB) unless told otherwise.
    const char *options = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(options ? options : "") + ":quarantine_size_mb=1").c_str(), 1);
#endif
    execl(KESH_IMAGE_DIR "/dxesim", "dxesim", "s3", "decode", table.c_str(), "--window", "0xE0000000",
          "--json", json.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  ASSERT_EQ(wait4(child, &status, 0, &usage), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
#if defined(__SANITIZE_ADDRESS__)
  constexpr long kBoundKiB = 256 << 10; // the sanitizer's shadow and allocator take 120 MiB
#else
  constexpr long kBoundKiB = 64 << 10;
#endif
  EXPECT_LT(usage.ru_maxrss, kBoundKiB) << "KiB at most";
  std::ifstream in(json);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t count = 0;
  for (size_t i = text.find("\"type_name\""); i != std::string::npos; i = text.find("\"type_name\"", i + 1)) {
    count++;
  }
  EXPECT_EQ(count, entries);
  EXPECT_NE(text.find("\"function\": \"01:00.0\""), std::string::npos);
  EXPECT_TRUE(text.ends_with("\"valid\": true,\n  \"version\": 1\n}\n"));
}

} // namespace
