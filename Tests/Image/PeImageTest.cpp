// SPDX-License-Identifier: BSD-2-Clause-Patent
// The UEFI image as firmware will see it: a relocatable PE32+ x86-64
// boot-service driver with an entry point and nothing to import.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct PeImage {
  std::vector<uint8_t> bytes;
  uint32_t peOffset = 0;

  template <typename T> T at(size_t offset) const {
    T value{};
    if (offset + sizeof(T) > bytes.size()) {
      ADD_FAILURE() << "read past the end of the image at " << offset;
      return value;
    }
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
  }
  size_t optionalHeader() const { return peOffset + 24; }
  uint16_t sectionCount() const { return at<uint16_t>(peOffset + 6); }
  uint16_t optionalHeaderSize() const { return at<uint16_t>(peOffset + 20); }
  // Data directory N: RVA and size, after the 112 bytes of PE32+ fields.
  uint32_t directorySize(unsigned n) const { return at<uint32_t>(optionalHeader() + 112 + n * 8 + 4); }
  std::vector<std::string> sectionNames() const {
    std::vector<std::string> names;
    size_t table = optionalHeader() + optionalHeaderSize();
    for (unsigned i = 0; i < sectionCount(); i++) {
      const char *name = reinterpret_cast<const char *>(bytes.data() + table + i * 40);
      names.emplace_back(name, strnlen(name, 8));
    }
    return names;
  }
};

PeImage load(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path << " was not built";
  PeImage image;
  image.bytes.assign(std::istreambuf_iterator<char>(in), {});
  return image;
}

void expectBootServiceDriver(const std::string &path) {
  PeImage image = load(path);
  ASSERT_GT(image.bytes.size(), 0x200u);
  ASSERT_EQ(image.at<uint16_t>(0), 0x5A4D) << "MZ";
  image.peOffset = image.at<uint32_t>(0x3C);
  ASSERT_EQ(image.at<uint32_t>(image.peOffset), 0x00004550u) << "PE\\0\\0";
  EXPECT_EQ(image.at<uint16_t>(image.peOffset + 4), 0x8664) << "machine x86-64";
  size_t opt = image.optionalHeader();
  EXPECT_EQ(image.at<uint16_t>(opt), 0x20B) << "PE32+";
  EXPECT_NE(image.at<uint32_t>(opt + 16), 0u) << "entry point";
  EXPECT_EQ(image.at<uint16_t>(opt + 68), 11) << "subsystem: EFI boot service driver";
  EXPECT_GE(image.at<uint32_t>(opt + 108), 6u) << "data directories up to base relocations";
  EXPECT_EQ(image.directorySize(1), 0u) << "no import table";
  EXPECT_GT(image.directorySize(5), 0u) << "base relocations present";
  uint16_t characteristics = image.at<uint16_t>(image.peOffset + 22);
  EXPECT_EQ(characteristics & 0x0001, 0) << "relocations not stripped";
  for (const std::string &name : image.sectionNames()) {
    EXPECT_NE(name.rfind(".CRT", 0), 0u) << "no global constructors: nothing would run them";
    EXPECT_NE(name, ".idata");
  }
}

TEST(PeImage, KeshInitDxeIsARelocatableBootServiceDriverWithoutImports) {
  expectBootServiceDriver(KESH_EFI_IMAGE);
}

// The driver is held to 16 KiB, with its sections still laid out on
// 512-byte file boundaries and 4 KiB pages in memory.
TEST(PeImage, KeshInitDxeFitsIn16KiBWith512ByteFileAlignment) {
  PeImage image = load(KESH_EFI_IMAGE);
  ASSERT_GT(image.bytes.size(), 0x200u);
  image.peOffset = image.at<uint32_t>(0x3C);
  EXPECT_LE(image.bytes.size(), 16384u);
  size_t opt = image.optionalHeader();
  uint32_t fileAlignment = image.at<uint32_t>(opt + 36);
  EXPECT_EQ(fileAlignment, 0x200u);
  EXPECT_EQ(image.at<uint32_t>(opt + 32), 0x1000u) << "sections on page boundaries in memory";
  // Each section's raw data starts on a file-alignment boundary.
  size_t table = opt + image.optionalHeaderSize();
  for (unsigned i = 0; i < image.sectionCount(); i++) {
    EXPECT_EQ(image.at<uint32_t>(table + i * 40 + 20) % fileAlignment, 0u) << image.sectionNames()[i];
    EXPECT_EQ(image.at<uint32_t>(table + i * 40 + 16) % fileAlignment, 0u) << image.sectionNames()[i];
  }
}

// Code and read-only data share one section, which must not be writable;
// writable data stays apart, and nothing is both writable and executable.
TEST(PeImage, KeshInitDxeKeepsWritableDataOutOfItsCode) {
  PeImage image = load(KESH_EFI_IMAGE);
  ASSERT_GT(image.bytes.size(), 0x200u);
  image.peOffset = image.at<uint32_t>(0x3C);
  size_t table = image.optionalHeader() + image.optionalHeaderSize();
  const uint32_t execute = 0x20000000, write = 0x80000000;
  bool code = false;
  for (unsigned i = 0; i < image.sectionCount(); i++) {
    uint32_t characteristics = image.at<uint32_t>(table + i * 40 + 36);
    std::string name = image.sectionNames()[i];
    EXPECT_FALSE((characteristics & execute) != 0 && (characteristics & write) != 0) << name;
    code = code || (characteristics & execute) != 0;
  }
  EXPECT_TRUE(code);
}

// The test module that carries the S3 save library builds the same way.
TEST(PeImage, S3ClientDxeIsARelocatableBootServiceDriverWithoutImports) {
  std::string driver = KESH_EFI_IMAGE;
  expectBootServiceDriver(driver.substr(0, driver.rfind('/') + 1) + "S3ClientDxe.efi");
}

} // namespace
