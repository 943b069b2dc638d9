// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "ImageLoader.h"

#include "Host/FaultGuard.h"

#include <Protocol/LoadedImage.h>

#include <dlfcn.h>
#include <link.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace sim {

namespace {

void refuseKind(ImageKind kind, const std::filesystem::path &file, const std::string &name) {
  switch (kind) {
  case ImageKind::HostElf:
    return;
  case ImageKind::UefiPe:
    throw std::runtime_error(fmt::format("image {}: {} is a UEFI image (PE32+), not a host image; the "
                                         "simulator loads the host build of the module, {}.so",
                                         name, file.string(), name));
  case ImageKind::Other:
    break;
  }
  throw std::runtime_error(
      fmt::format("image {}: {} is not a host image (an ELF shared object)", name, file.string()));
}

} // namespace

ImageKind imageKind(const std::string &bytes) {
  if (bytes.size() >= 4 && bytes.compare(0, 4,
                                         "\x7F"
                                         "ELF") == 0) {
    return ImageKind::HostElf;
  }
  if (bytes.size() >= 2 && bytes.compare(0, 2, "MZ") == 0) {
    return ImageKind::UefiPe;
  }
  return ImageKind::Other;
}

namespace {
ImageKind imageKindOfFile(const std::filesystem::path &file) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return ImageKind::Other;
  }
  char head[4] = {};
  ssize_t headSize = pread(fd, head, sizeof(head), 0);
  close(fd);
  return imageKind(std::string(head, headSize > 0 ? static_cast<size_t>(headSize) : 0));
}

// Byte by byte and outside the address sanitizer's view: an image built
// with it has poisoned red zones between its globals, which this copies too.
__attribute__((no_sanitize("address"))) void copyImageMemory(uint8_t *to, const uint8_t *from, size_t size) {
  const volatile uint8_t *source = from;
  volatile uint8_t *target = to;
  for (size_t i = 0; i < size; i++) {
    target[i] = source[i];
  }
}

// Starting an image afresh would wipe the counters a coverage build keeps in
// its writable memory: there every image is unloaded, writing them out.
#ifdef KESH_COVERAGE
constexpr bool kReuseImages = false;
#else
constexpr bool kReuseImages = true;
#endif

std::string memoryFilePath(int fd) {
  return fmt::format("/proc/self/fd/{}", fd);
}

// Whether the dynamic loader still holds an image loaded from this copy.
bool stillLoaded(int fd) {
  void *still = dlopen(memoryFilePath(fd).c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (still != nullptr) {
    dlclose(still);
  }
  return still != nullptr;
}

// The bytes the dynamic loader maps: up to the end of the furthest segment.
// What follows (debug information, the section headers) stays in the file,
// where the symbol reader finds it; an image whose headers do not add up is
// copied whole and left for dlopen to judge.
size_t loadableSize(int fd, size_t fileSize) {
  Elf64_Ehdr header{};
  if (pread(fd, &header, sizeof(header), 0) != static_cast<ssize_t>(sizeof(header)) ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr) ||
      header.e_phnum == 0 || header.e_phoff > fileSize ||
      header.e_phnum > (fileSize - header.e_phoff) / sizeof(Elf64_Phdr)) {
    return fileSize;
  }
  std::vector<Elf64_Phdr> segments(header.e_phnum);
  size_t tableSize = segments.size() * sizeof(Elf64_Phdr);
  if (pread(fd, segments.data(), tableSize, static_cast<off_t>(header.e_phoff)) !=
      static_cast<ssize_t>(tableSize)) {
    return fileSize;
  }
  uint64_t end = header.e_phoff + tableSize;
  for (const Elf64_Phdr &segment : segments) {
    if (segment.p_offset > fileSize || segment.p_filesz > fileSize - segment.p_offset) {
      return fileSize;
    }
    end = std::max<uint64_t>(end, segment.p_offset + segment.p_filesz);
  }
  return static_cast<size_t>(end);
}

// Copies size bytes of from into to, at its start, inside the kernel.
bool copyFile(int to, int from, size_t size) {
  off_t offset = 0;
  while (static_cast<size_t>(offset) < size) {
    ssize_t n = sendfile(to, from, &offset, size - static_cast<size_t>(offset));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
  }
  return true;
}

// The in-memory copies of host image files, for every loader of the
// process. The dynamic loader shares one copy of a file among all who open
// it, so each image loaded at a time has a copy of its own; one whose image
// has been unloaded serves the next load. Each file is read from disk once,
// and again only when it changes; further copies are made from the first.
class MemoryFiles {
public:
  static MemoryFiles &instance() {
    static MemoryFiles files;
    return files;
  }

  struct Lease {
    int fd;
    void *library; // a parked image, its globals as loaded; null: dlopen the file
  };

  // A sealed in-memory file with the image's bytes, for one load, and the
  // image loaded from it if one is parked.
  Lease acquire(const std::filesystem::path &file, const std::string &name) {
    struct stat status {};
    if (stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
      throw std::runtime_error(fmt::format("image {} not found at {}", name, file.string()));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Entry &entry = entries_[file.string()];
    if (entry.first < 0 || !unchanged(entry, status)) {
      forget(entry);
      int source = open(file.c_str(), O_RDONLY | O_CLOEXEC);
      if (source < 0) {
        throw std::runtime_error(fmt::format("image {}: {} cannot be read", name, file.string()));
      }
      char head[4] = {};
      ssize_t headSize = pread(source, head, sizeof(head), 0);
      entry.kind = imageKind(std::string(head, headSize > 0 ? static_cast<size_t>(headSize) : 0));
      if (entry.kind == ImageKind::HostElf) {
        int fd = -1;
        try {
          entry.copySize = loadableSize(source, static_cast<size_t>(status.st_size));
          fd = newCopy(name, source, entry.copySize);
        } catch (...) {
          close(source);
          throw;
        }
        entry.first = fd;
        entry.current.push_back(fd);
        entry.idle.push_back(fd);
      }
      close(source);
      entry.device = status.st_dev;
      entry.inode = status.st_ino;
      entry.size = status.st_size;
      entry.modified = status.st_mtim;
    }
    refuseKind(entry.kind, file, name);
    if (!entry.parked.empty()) {
      Lease lease = entry.parked.back();
      entry.parked.pop_back();
      for (const Writable &range : pristine_[lease.library]) {
        copyImageMemory(reinterpret_cast<uint8_t *>(range.start), range.bytes.data(), range.bytes.size());
      }
      return lease;
    }
    if (!entry.idle.empty()) {
      int fd = entry.idle.back();
      entry.idle.pop_back();
      return Lease{fd, nullptr};
    }
    int fd = newCopy(name, entry.first, entry.copySize);
    entry.current.push_back(fd);
    return Lease{fd, nullptr};
  }

  // What the file is, from what was read of it if it has not changed since.
  ImageKind kindOf(const std::filesystem::path &file) {
    struct stat status {};
    if (stat(file.c_str(), &status) == 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      auto known = entries_.find(file.string());
      if (known != entries_.end() && unchanged(known->second, status)) {
        return known->second.kind;
      }
    }
    return imageKindOfFile(file);
  }

  // Keeps the writable memory of an image just loaded, to start it afresh.
  void remember(void *library) {
    if (!kReuseImages) {
      return; // unloaded when its load is over
    }
    std::optional<std::vector<Writable>> ranges = writableRanges(library);
    if (!ranges) {
      return; // not found: unloaded when its load is over
    }
    std::lock_guard<std::mutex> lock(mutex_);
    pristine_[library] = std::move(*ranges);
  }

  // An image whose load is over stays loaded for the next load of the same
  // version of its file; false when it must be unloaded instead.
  bool park(const std::filesystem::path &file, int fd, void *library) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = entries_.find(file.string());
    if (found == entries_.end() || !pristine_.contains(library) ||
        std::find(found->second.current.begin(), found->second.current.end(), fd) ==
            found->second.current.end()) {
      pristine_.erase(library);
      return false;
    }
    found->second.parked.push_back(Lease{fd, library});
    return true;
  }

  // unloaded: the dynamic loader no longer holds the image loaded from it.
  void release(const std::filesystem::path &file, int fd, bool unloaded) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = entries_.find(file.string());
    bool current = found != entries_.end() &&
                   std::find(found->second.current.begin(), found->second.current.end(), fd) !=
                       found->second.current.end();
    if (!unloaded) {
      // Its name stays taken while the image it names is loaded: the file
      // stays open so that no later file gets that name.
      if (current) {
        auto &list = found->second.current;
        list.erase(std::find(list.begin(), list.end(), fd));
      }
      return;
    }
    if (current) {
      found->second.idle.push_back(fd);
    } else {
      close(fd); // a copy of an earlier version of the file
    }
  }

private:
  struct Entry {
    int first = -1; // the copy read from the file; -1 before or when not an image
    ImageKind kind = ImageKind::Other;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    size_t copySize = 0; // the bytes of the file each copy holds
    timespec modified{};
    std::vector<int> current; // copies of this version of the file, idle or in use
    std::vector<int> idle;
    std::vector<Lease> parked; // loaded from copies in current, not in use
  };

  static bool unchanged(const Entry &entry, const struct stat &status) {
    return entry.device == status.st_dev && entry.inode == status.st_ino && entry.size == status.st_size &&
           entry.modified.tv_sec == status.st_mtim.tv_sec && entry.modified.tv_nsec == status.st_mtim.tv_nsec;
  }

  // The part of an image's writable segments that stays writable once
  // loaded (past its read-only-after-relocation part): data and bss.
  struct Writable {
    uintptr_t start;
    std::vector<uint8_t> bytes;
  };
  static std::optional<std::vector<Writable>> writableRanges(void *library) {
    struct Search {
      link_map *map = nullptr;
      bool found = false;
      std::vector<Writable> ranges;
    } search;
    if (dlinfo(library, RTLD_DI_LINKMAP, &search.map) != 0 || search.map == nullptr) {
      return std::nullopt;
    }
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
          auto *search = static_cast<Search *>(data);
          if (info->dlpi_addr != search->map->l_addr ||
              std::strcmp(info->dlpi_name, search->map->l_name) != 0) {
            return 0;
          }
          search->found = true;
          uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
          uintptr_t relroEnd = 0;
          for (unsigned i = 0; i < info->dlpi_phnum; i++) {
            const ElfW(Phdr) &header = info->dlpi_phdr[i];
            if (header.p_type == PT_GNU_RELRO) {
              relroEnd = (info->dlpi_addr + header.p_vaddr + header.p_memsz) & ~(page - 1);
            }
          }
          for (unsigned i = 0; i < info->dlpi_phnum; i++) {
            const ElfW(Phdr) &header = info->dlpi_phdr[i];
            if (header.p_type != PT_LOAD || (header.p_flags & PF_W) == 0) {
              continue;
            }
            uintptr_t start = std::max<uintptr_t>(info->dlpi_addr + header.p_vaddr, relroEnd);
            uintptr_t end = info->dlpi_addr + header.p_vaddr + header.p_memsz;
            if (start < end) {
              Writable range{start, std::vector<uint8_t>(end - start)};
              copyImageMemory(range.bytes.data(), reinterpret_cast<const uint8_t *>(start), end - start);
              search->ranges.push_back(std::move(range));
            }
          }
          return 1;
        },
        &search);
    if (!search.found) {
      return std::nullopt;
    }
    return std::move(search.ranges);
  }

  static int newCopy(const std::string &name, int from, size_t size) {
    int fd = memfd_create(name.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
      throw std::runtime_error(fmt::format("image {}: no in-memory file ({})", name, std::strerror(errno)));
    }
    if (!copyFile(fd, from, size)) {
      int error = errno;
      close(fd);
      throw std::runtime_error(
          fmt::format("image {}: in-memory copy failed ({})", name, std::strerror(error)));
    }
    // Nothing can change the copy once made.
    fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return fd;
  }

  // The file changed: copies in use are closed when released.
  void forget(Entry &entry) {
    for (const Lease &lease : entry.parked) {
      pristine_.erase(lease.library);
      dlclose(lease.library);
      if (!stillLoaded(lease.fd)) {
        close(lease.fd);
      }
    }
    entry.parked.clear();
    for (int fd : entry.idle) {
      close(fd);
    }
    entry.idle.clear();
    entry.current.clear();
    entry.first = -1;
  }

  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  std::map<void *, std::vector<Writable>> pristine_;
};

} // namespace

void requireHostImage(const std::filesystem::path &file, const std::string &name) {
  struct stat status {};
  if (stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw std::runtime_error(fmt::format("image {} not found at {}", name, file.string()));
  }
  int source = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (source < 0) {
    throw std::runtime_error(fmt::format("image {}: {} cannot be read", name, file.string()));
  }
  char head[4] = {};
  ssize_t headSize = pread(source, head, sizeof(head), 0);
  close(source);
  refuseKind(imageKind(std::string(head, headSize > 0 ? static_cast<size_t>(headSize) : 0)), file, name);
}

bool hasEdgeTable(const std::filesystem::path &file) {
  // An image runs nothing when loaded (no constructors), so a load of the
  // file itself just to look is harmless; the dynamic loader shares no
  // mapping with the in-memory copies boots load.
  void *library = dlopen(file.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (library == nullptr) {
    return false;
  }
  bool found = dlsym(library, "HwAccessSimEdges") != nullptr;
  dlclose(library);
  return found;
}

ImageKind imageKind(const std::filesystem::path &file) {
  return MemoryFiles::instance().kindOf(file);
}

namespace {

// The dynamic loader's message, naming the image file instead of the copy.
std::string loaderError(int fd, const std::filesystem::path &file) {
  const char *text = dlerror();
  std::string message = text != nullptr ? text : "unknown error";
  std::string copy = memoryFilePath(fd);
  for (size_t at = message.find(copy); at != std::string::npos; at = message.find(copy, at)) {
    message.replace(at, copy.size(), file.string());
    at += file.string().size();
  }
  return message;
}

// Parks an image for the next load, or unloads it and gives its copy back.
void unload(void *library, int fd, const std::filesystem::path &file, bool parkable) {
  if (library != nullptr && parkable && MemoryFiles::instance().park(file, fd, library)) {
    return;
  }
  if (library != nullptr) {
    dlclose(library);
  }
  MemoryFiles::instance().release(file, fd, !stillLoaded(fd));
}

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
    unload(image->library, image->memoryFile, image->file, true);
  }
}

LoadedImage &ImageLoader::load(const std::filesystem::path &file, const std::string &name) {
  auto image = std::make_unique<LoadedImage>();
  image->name = name;
  image->file = file;
  // A copy of its own gives each image its own globals, as separate
  // firmware images have.
  // An image parked by an earlier load comes back with its writable memory
  // as it was loaded: the same as loading it again, without the cost.
  MemoryFiles::Lease lease = MemoryFiles::instance().acquire(file, name);
  image->memoryFile = lease.fd;
  image->library = lease.library;
  if (image->library == nullptr) {
    image->library = dlopen(memoryFilePath(image->memoryFile).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (image->library == nullptr) {
      std::string error = loaderError(image->memoryFile, file);
      unload(nullptr, image->memoryFile, file, false);
      throw std::runtime_error(fmt::format("image {} cannot be loaded: {}", name, error));
    }
    MemoryFiles::instance().remember(image->library);
  }
  if (link_map *map = nullptr; dlinfo(image->library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
    image->base = map->l_addr;
  }
  auto bind = reinterpret_cast<decltype(&HwAccessSimBind)>(dlsym(image->library, "HwAccessSimBind"));
  image->entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(dlsym(image->library, "_ModuleEntryPoint"));
  if (bind == nullptr || image->entry == nullptr) {
    unload(image->library, image->memoryFile, file, false);
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
    unload(image->library, image->memoryFile, file, true);
    throw std::runtime_error(fmt::format("image {}: no image handle ({})", name, statusName(status)));
  }
  image->handle = handle;
  loadedImageProtocols_.push_back(std::move(protocol));
  images_.push_back(std::move(image));
  return *images_.back();
}

std::optional<ImageLoader::Edges> ImageLoader::edges(const LoadedImage &image) {
  auto table = reinterpret_cast<decltype(&HwAccessSimEdges)>(dlsym(image.library, "HwAccessSimEdges"));
  if (table == nullptr) {
    return std::nullopt;
  }
  const HW_SIM_EDGE_TABLE *edges = table();
  Edges out;
  out.lost = edges->Lost;
  out.offsets.reserve(edges->Count);
  for (UINT32 slot = 0; slot < edges->Capacity; slot++) {
    if (edges->Slots[slot] != 0) {
      out.offsets.push_back(edges->Slots[slot]);
    }
  }
  std::sort(out.offsets.begin(), out.offsets.end());
  return out;
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
  callImage(core_, machine_.context(),
            [&] { image.entryStatus = image.entry(image.handle, core_.systemTable()); });
  machine_.setContext(savedContext);
  return image.entryStatus;
}

} // namespace sim
