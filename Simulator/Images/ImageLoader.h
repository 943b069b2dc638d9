// Loads host images (shared objects built from the firmware sources) and
// starts them as the DXE dispatcher would. Every load is a fresh copy of the
// file, so each image, and each boot, has its own library globals.
#pragma once

#include "Dxe/DxeCore.h"
#include "Machine/Machine.h"

#include <HwAccessSimBinding.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct LoadedImage {
  std::string name;
  EFI_HANDLE handle = nullptr;
  EFI_IMAGE_ENTRY_POINT entry = nullptr;
  bool started = false;
  EFI_STATUS entryStatus = EFI_NOT_STARTED;
  void *library = nullptr;
  std::filesystem::path copy;
};

class ImageLoader {
public:
  ImageLoader(Machine &machine, DxeCore &core);
  ~ImageLoader();
  ImageLoader(const ImageLoader &) = delete;
  ImageLoader &operator=(const ImageLoader &) = delete;

  // Throws std::runtime_error when the file is not a loadable image.
  LoadedImage &load(const std::filesystem::path &file, const std::string &name);
  // Runs the module entry with the image handle and the system table.
  EFI_STATUS start(LoadedImage &image);

  const std::vector<std::unique_ptr<LoadedImage>> &images() const { return images_; }

private:
  Machine &machine_;
  DxeCore &core_;
  HW_SIM_BINDING binding_{};
  std::filesystem::path dir_;
  std::vector<std::unique_ptr<LoadedImage>> images_;
  std::vector<std::unique_ptr<std::vector<uint8_t>>> loadedImageProtocols_;
};

} // namespace sim
