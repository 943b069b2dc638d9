// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Symbols.h"

#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

namespace sim {

namespace {

struct Symbol {
  uint64_t value, size;
  std::string name;
  std::string plain; // demangled when first asked for
};

// "KeshOnEndOfDxe" for "_Z14KeshOnEndOfDxePvS_": the name as the source
// spells it, without its parameter list.
std::string plainName(const std::string &symbol) {
  int status = 0;
  char *demangled = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
  if (status != 0 || demangled == nullptr) {
    std::free(demangled);
    return symbol;
  }
  std::string name(demangled);
  std::free(demangled);
  // The parameter list's parenthesis, not an anonymous namespace's.
  static constexpr std::string_view kAnonymous = "(anonymous namespace)";
  size_t parameters = name.find('(');
  while (parameters != std::string::npos && name.compare(parameters, kAnonymous.size(), kAnonymous) == 0) {
    parameters = name.find('(', parameters + kAnonymous.size());
  }
  return parameters == std::string::npos ? name : name.substr(0, parameters);
}

// The function symbols of an ELF64 file, sorted by address; empty when the
// file cannot be read or is no ELF64 object. Only the headers, the symbol
// table and its strings are read: the image's debug sections are large.
std::vector<Symbol> readSymbols(const std::string &path) {
  std::vector<Symbol> out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return out;
  }
  struct stat status {};
  uint64_t fileSize = fstat(fd, &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
  auto readAt = [fd, fileSize](uint64_t offset, uint64_t size, void *to) {
    return offset <= fileSize && size <= fileSize - offset &&
           pread(fd, to, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
  };
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  Elf64_Ehdr header;
  if (!readAt(0, sizeof(header), &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr)) {
    return out;
  }
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  if (!readAt(header.e_shoff, sections.size() * sizeof(Elf64_Shdr), sections.data())) {
    return out;
  }
  for (const Elf64_Shdr &section : sections) {
    if (section.sh_type != SHT_SYMTAB || section.sh_link >= sections.size()) {
      continue;
    }
    const Elf64_Shdr &strings = sections[section.sh_link];
    std::vector<Elf64_Sym> symbols(section.sh_size / sizeof(Elf64_Sym));
    std::vector<char> names(strings.sh_size);
    if (!readAt(section.sh_offset, symbols.size() * sizeof(Elf64_Sym), symbols.data()) ||
        !readAt(strings.sh_offset, names.size(), names.data())) {
      continue;
    }
    for (const Elf64_Sym &symbol : symbols) {
      if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_name >= names.size()) {
        continue;
      }
      const char *name = names.data() + symbol.st_name;
      size_t length = strnlen(name, names.size() - symbol.st_name);
      out.push_back(Symbol{symbol.st_value, symbol.st_size, std::string(name, length), ""});
    }
  }
  std::sort(out.begin(), out.end(), [](const Symbol &a, const Symbol &b) { return a.value < b.value; });
  return out;
}

} // namespace

std::string functionName(const void *address, uintptr_t base, const std::string &image) {
  if (address == nullptr || reinterpret_cast<uintptr_t>(address) < base) {
    return "";
  }
  static std::mutex lock;
  static std::map<std::string, std::vector<Symbol>> files;
  std::lock_guard<std::mutex> guard(lock);
  auto found = files.find(image);
  if (found == files.end()) {
    found = files.emplace(image, readSymbols(image)).first;
  }
  uint64_t offset = reinterpret_cast<uintptr_t>(address) - base;
  std::vector<Symbol> &symbols = found->second;
  auto after = std::upper_bound(symbols.begin(), symbols.end(), offset,
                                [](uint64_t value, const Symbol &symbol) { return value < symbol.value; });
  if (after == symbols.begin()) {
    return "";
  }
  Symbol &symbol = *std::prev(after);
  if (offset >= symbol.value + std::max<uint64_t>(symbol.size, 1)) {
    return "";
  }
  if (symbol.plain.empty()) {
    symbol.plain = plainName(symbol.name);
  }
  return symbol.plain;
}

} // namespace sim
