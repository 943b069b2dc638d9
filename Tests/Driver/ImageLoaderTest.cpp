// SPDX-License-Identifier: BSD-2-Clause-Patent
// Loading host images: each load a copy with its own globals, held in
// memory only; images of the wrong kind refused with a message that says
// which image the simulator wants.
#include "ScratchDir.h"
#include "BootHarness.h"

#include "Boot/Report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

std::string summaryOf(sim::Simulation &simulation) {
  simulation.run();
  return sim::textSummary(simulation);
}

// The mappings of this process that name the image.
std::vector<std::string> imageMappings() {
  std::ifstream maps("/proc/self/maps");
  std::vector<std::string> out;
  for (std::string line; std::getline(maps, line);) {
    if (line.find("KeshInitDxe") != std::string::npos) {
      out.push_back(line);
    }
  }
  return out;
}

// Loaded at the same time, the same file gives separate copies: separate
// mappings, so separate globals.
TEST(ImageLoader, ImagesLoadedTogetherAreSeparateCopies) {
  sim::Machine machine;
  sim::DxeCore core(machine);
  sim::ImageLoader loader(machine, core);
  sim::LoadedImage &first = loader.load(boot::kImage, "KeshInitDxe");
  sim::LoadedImage &second = loader.load(boot::kImage, "KeshInitDxe");
  sim::LoadedImage &third = loader.load(boot::kImage, "KeshInitDxe");
  EXPECT_NE(first.library, second.library);
  EXPECT_NE(second.library, third.library);
  EXPECT_NE(first.library, third.library);
  EXPECT_NE(reinterpret_cast<void *>(first.entry), reinterpret_cast<void *>(second.entry));
  EXPECT_NE(reinterpret_cast<void *>(second.entry), reinterpret_cast<void *>(third.entry));
  EXPECT_NE(first.handle, second.handle);
}

TEST(ImageLoader, ACopyGivenBackServesTheNextLoadWithFreshGlobals) {
  sim::Board board = sim::referenceBoard();
  std::string expected;
  for (int round = 0; round < 4; round++) {
    sim::Simulation simulation(board, boot::kImage);
    std::string summary = summaryOf(simulation);
    if (round == 0) {
      expected = summary;
    }
    EXPECT_EQ(summary, expected) << "boot " << round;
  }
  // The driver and a second module in one boot, twice over.
  sim::Board s3 = sim::loadBoardFile(std::string(KESH_SOURCE_DIR) + "/boards/s3-resume.toml");
  std::string s3Expected;
  for (int round = 0; round < 2; round++) {
    sim::Simulation simulation(s3, boot::kImage);
    std::string summary = summaryOf(simulation);
    EXPECT_EQ(simulation.loader().images().size(), 2u);
    if (round == 0) {
      s3Expected = summary;
    }
    EXPECT_EQ(summary, s3Expected);
  }
}

TEST(ImageLoader, ImagesAreHeldInMemoryAndLeaveNoFileBehind) {
  auto temporary = [] {
    size_t n = 0;
    for (const auto &entry : std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
      n += entry.path().filename().string().rfind("dxesim-", 0) == 0 ? 1 : 0;
    }
    return n;
  };
  size_t before = temporary();
  size_t mappings = 0;
  for (int round = 0; round < 5; round++) {
    sim::Simulation simulation(sim::referenceBoard(), boot::kImage);
    simulation.run();
    std::vector<std::string> lines = imageMappings();
    ASSERT_FALSE(lines.empty());
    for (const std::string &line : lines) {
      EXPECT_NE(line.find("/memfd:"), std::string::npos) << line;
    }
    if (round == 0) {
      mappings = lines.size();
    }
    EXPECT_EQ(lines.size(), mappings) << "boot after boot, no copy is left over";
    EXPECT_EQ(temporary(), before);
  }
}

class WrongImage : public ::testing::Test {
protected:
  std::string write(const std::string &name, const std::string &bytes) {
    std::string path = processScratch().path(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  // The message of the error a boot with this driver image stops with.
  std::string bootError(const std::string &image) {
    try {
      sim::Simulation simulation(sim::referenceBoard(), image);
      simulation.run();
    } catch (const std::runtime_error &error) {
      return error.what();
    }
    return "";
  }
};

TEST_F(WrongImage, AUefiImageIsRefusedNamingTheHostImageAndWhereItIs) {
  std::string efi = write("KeshInitDxe.efi", std::string("MZ\x90\0", 4) + std::string(60, '\0'));
  std::string message = bootError(efi);
  EXPECT_NE(message.find(efi + " is a UEFI image (PE32+)"), std::string::npos) << message;
  EXPECT_NE(message.find("KeshInitDxe.so"), std::string::npos) << message;
  EXPECT_NE(message.find(sim::defaultDriverImage()), std::string::npos) << message;

  std::string text = write("notes.txt", "not an image\n");
  message = bootError(text);
  EXPECT_NE(message.find(text + " is not a host image"), std::string::npos) << message;
}

TEST_F(WrongImage, TheLoaderNamesTheFileNotItsCopy) {
  sim::Machine machine;
  sim::DxeCore core(machine);
  sim::ImageLoader loader(machine, core);
  std::string efi = write("S3ClientDxe.efi", std::string("MZ") + std::string(62, '\0'));
  try {
    loader.load(efi, "S3ClientDxe");
    ADD_FAILURE() << "a UEFI image was loaded";
  } catch (const std::runtime_error &error) {
    std::string message = error.what();
    EXPECT_NE(message.find(efi), std::string::npos) << message;
    EXPECT_NE(message.find("S3ClientDxe.so"), std::string::npos) << message;
  }
  // An ELF file that is no shared object: the dynamic loader's complaint,
  // about the file given.
  std::string broken = write("Broken.so", std::string("\x7F"
                                                      "ELF",
                                                      4) +
                                              std::string(60, '\0'));
  try {
    loader.load(broken, "Broken");
    ADD_FAILURE() << "a broken image was loaded";
  } catch (const std::runtime_error &error) {
    std::string message = error.what();
    EXPECT_NE(message.find(broken), std::string::npos) << message;
    EXPECT_EQ(message.find("/proc/self/fd"), std::string::npos) << message;
  }
  EXPECT_TRUE(loader.images().empty());
}

} // namespace
