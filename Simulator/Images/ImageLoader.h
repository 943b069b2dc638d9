// SPDX-License-Identifier: BSD-2-Clause-Patent
// Loads host images (shared objects built from the firmware sources) and
// starts them as the DXE dispatcher would. Every load is a fresh copy of the
// image, so each image, and each boot, has its own library globals. The
// file is read once per process; the copies are in-memory files, so nothing
// is written to disk and nothing is left behind, however the process ends.
#pragma once

#include "Dxe/DxeCore.h"
#include "Machine/Machine.h"

#include <HwAccessSimBinding.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class ImageKind {
  HostElf, // a shared object: what the loader takes
  UefiPe,  // a PE32+ image, as firmware loads it
  Other,
};
ImageKind imageKind(const std::string &bytes);
ImageKind imageKind(const std::filesystem::path &file);
// Whether the host image file exports an edge table (HwAccessSimEdges):
// an Edges image. False for a file that cannot be loaded.
bool hasEdgeTable(const std::filesystem::path &file);
// Throws the std::runtime_error a load of this file as image `name` would
// for a file that is missing, unreadable or not a host image; for a run
// that should fail once, before it boots anything.
void requireHostImage(const std::filesystem::path &file, const std::string &name);

struct LoadedImage {
  std::string name;
  EFI_HANDLE handle = nullptr;
  EFI_IMAGE_ENTRY_POINT entry = nullptr;
  bool started = false;
  EFI_STATUS entryStatus = EFI_NOT_STARTED;
  void *library = nullptr;
  int memoryFile = -1; // the in-memory copy it was loaded from
  uintptr_t base = 0;  // where it was loaded: addresses less this are file offsets
  std::filesystem::path file;
};

class ImageLoader {
public:
  ImageLoader(Machine &machine, DxeCore &core);
  ~ImageLoader();
  ImageLoader(const ImageLoader &) = delete;
  ImageLoader &operator=(const ImageLoader &) = delete;

  // Throws std::runtime_error when the file is not a loadable image: one
  // that cannot be read, is no ELF shared object (a UEFI PE32+ image, say),
  // or lacks the host entry points.
  LoadedImage &load(const std::filesystem::path &file, const std::string &name);
  // Runs the module entry with the image handle and the system table.
  EFI_STATUS start(LoadedImage &image);

  const std::vector<std::unique_ptr<LoadedImage>> &images() const { return images_; }

  // What an Edges image's code reached since it was loaded: its offsets
  // from the image's base, sorted, and the blocks its table had no room
  // for. Nullopt for an image without an edge table.
  struct Edges {
    std::vector<uint32_t> offsets;
    uint64_t lost = 0;
  };
  static std::optional<Edges> edges(const LoadedImage &image);

private:
  Machine &machine_;
  DxeCore &core_;
  HW_SIM_BINDING binding_{};
  std::vector<std::unique_ptr<LoadedImage>> images_;
  std::vector<std::unique_ptr<std::vector<uint8_t>>> loadedImageProtocols_;
};

} // namespace sim
