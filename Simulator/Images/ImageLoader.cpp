#include "ImageLoader.h"

#include <Protocol/LoadedImage.h>

#include <dlfcn.h>
#include <fmt/format.h>
#include <stdexcept>
#include <unistd.h>

namespace sim {

namespace {

Machine &machineOf(VOID *context) {
  return *static_cast<Machine *>(context);
}

UINT32 ioRead(VOID *c, UINT16 port, UINT8 width) {
  return machineOf(c).ioRead(port, width);
}
VOID ioWrite(VOID *c, UINT16 port, UINT8 width, UINT32 value) {
  machineOf(c).ioWrite(port, width, value);
}
UINT64 mmioRead(VOID *c, UINTN address, UINT8 width) {
  return machineOf(c).mmioRead(address, width);
}
VOID mmioWrite(VOID *c, UINTN address, UINT8 width, UINT64 value) {
  machineOf(c).mmioWrite(address, width, value);
}
VOID cpuid(VOID *c, UINT32 leaf, UINT32 subleaf, UINT32 regs[4]) {
  CpuidRegs r = machineOf(c).cpuid(leaf, subleaf);
  regs[0] = r.eax;
  regs[1] = r.ebx;
  regs[2] = r.ecx;
  regs[3] = r.edx;
}
UINT64 readMsr(VOID *c, UINT32 index) {
  return machineOf(c).readMsr(index);
}
BOOLEAN getInterrupts(VOID *c) {
  return machineOf(c).interruptsEnabled() ? TRUE : FALSE;
}
VOID setInterrupts(VOID *c, BOOLEAN enabled) {
  machineOf(c).setInterrupts(enabled != FALSE);
}
VOID breakpoint(VOID *c) {
  machineOf(c).breakpoint();
}
VOID pause(VOID *c) {
  machineOf(c).pause();
}
UINT16 debugQuery(VOID *c) {
  return machineOf(c).debugEnvironmentQuery();
}

} // namespace

ImageLoader::ImageLoader(Machine &machine, DxeCore &core) : machine_(machine), core_(core) {
  binding_ = HW_SIM_BINDING{&machine_, ioRead,        ioWrite,       mmioRead,   mmioWrite, cpuid,
                            readMsr,   getInterrupts, setInterrupts, breakpoint, pause,     debugQuery};
}

ImageLoader::~ImageLoader() {
  for (auto &image : images_) {
    if (image->library != nullptr) {
      dlclose(image->library);
    }
  }
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

LoadedImage &ImageLoader::load(const std::filesystem::path &file, const std::string &name) {
  if (!std::filesystem::is_regular_file(file)) {
    throw std::runtime_error(fmt::format("image {} not found at {}", name, file.string()));
  }
  if (dir_.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "dxesim-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot create a folder for loaded images");
    }
    dir_ = pattern;
  }
  auto image = std::make_unique<LoadedImage>();
  image->name = name;
  // The dynamic loader shares one copy per file; a fresh file per load gives
  // each image its own globals, as separate firmware images have.
  image->copy = dir_ / fmt::format("{}-{}.so", name, images_.size());
  std::filesystem::copy_file(file, image->copy);
  image->library = dlopen(image->copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (image->library == nullptr) {
    throw std::runtime_error(fmt::format("image {} cannot be loaded: {}", name, dlerror()));
  }
  auto bind = reinterpret_cast<decltype(&HwAccessSimBind)>(dlsym(image->library, "HwAccessSimBind"));
  image->entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(dlsym(image->library, "_ModuleEntryPoint"));
  if (bind == nullptr || image->entry == nullptr) {
    throw std::runtime_error(
        fmt::format("{} is not a host firmware image (no _ModuleEntryPoint)", file.string()));
  }
  bind(&binding_);

  // The loaded-image protocol on a new handle: the image handle.
  auto protocol = std::make_unique<std::vector<uint8_t>>(sizeof(EFI_LOADED_IMAGE_PROTOCOL), 0);
  auto *loaded = reinterpret_cast<EFI_LOADED_IMAGE_PROTOCOL *>(protocol->data());
  loaded->Revision = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  loaded->SystemTable = core_.systemTable();
  loaded->ImageCodeType = EfiBootServicesCode;
  loaded->ImageDataType = EfiBootServicesData;
  EFI_HANDLE handle = nullptr;
  EFI_STATUS status = core_.installProtocol(&handle, gEfiLoadedImageProtocolGuid, loaded);
  if (EFI_ERROR(status)) {
    throw std::runtime_error(fmt::format("image {}: no image handle ({})", name, statusName(status)));
  }
  image->handle = handle;
  loadedImageProtocols_.push_back(std::move(protocol));
  images_.push_back(std::move(image));
  return *images_.back();
}

EFI_STATUS ImageLoader::start(LoadedImage &image) {
  std::string previous = core_.currentImage();
  core_.setCurrentImage(image.name);
  image.started = true;
  struct Restore {
    DxeCore &core;
    std::string name;
    ~Restore() { core.setCurrentImage(name); }
  } restore{core_, previous};
  uint32_t savedContext = machine_.context();
  machine_.setContext(core_.codeContext(image.name, reinterpret_cast<const void *>(image.entry)));
  image.entryStatus = image.entry(image.handle, core_.systemTable());
  machine_.setContext(savedContext);
  return image.entryStatus;
}

} // namespace sim
