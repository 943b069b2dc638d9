// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Symbols.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <vector>

namespace sim {

namespace {

struct Symbol {
  uint64_t value, size;
  std::string name;
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
  size_t parameters = name.find('(');
  return parameters == std::string::npos ? name : name.substr(0, parameters);
}

// The function symbols of an ELF64 file, sorted by address; empty when the
// file cannot be read or is no ELF64 object.
std::vector<Symbol> readSymbols(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<Symbol> out;
  auto fits = [&bytes](uint64_t offset, uint64_t size) {
    return offset <= bytes.size() && size <= bytes.size() - offset;
  };
  Elf64_Ehdr header;
  if (!fits(0, sizeof(header))) {
    return out;
  }
  std::memcpy(&header, bytes.data(), sizeof(header));
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_shentsize != sizeof(Elf64_Shdr) ||
      !fits(header.e_shoff, uint64_t{header.e_shnum} * sizeof(Elf64_Shdr))) {
    return out;
  }
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  std::memcpy(sections.data(), bytes.data() + header.e_shoff, sections.size() * sizeof(Elf64_Shdr));
  for (const Elf64_Shdr &section : sections) {
    if (section.sh_type != SHT_SYMTAB || section.sh_link >= sections.size() ||
        !fits(section.sh_offset, section.sh_size)) {
      continue;
    }
    const Elf64_Shdr &strings = sections[section.sh_link];
    if (!fits(strings.sh_offset, strings.sh_size)) {
      continue;
    }
    for (uint64_t at = 0; at + sizeof(Elf64_Sym) <= section.sh_size; at += sizeof(Elf64_Sym)) {
      Elf64_Sym symbol;
      std::memcpy(&symbol, bytes.data() + section.sh_offset + at, sizeof(symbol));
      if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_name >= strings.sh_size) {
        continue;
      }
      const char *name = bytes.data() + strings.sh_offset + symbol.st_name;
      size_t length = strnlen(name, strings.sh_size - symbol.st_name);
      out.push_back(Symbol{symbol.st_value, symbol.st_size, plainName(std::string(name, length))});
    }
  }
  std::sort(out.begin(), out.end(), [](const Symbol &a, const Symbol &b) { return a.value < b.value; });
  return out;
}

} // namespace

std::string functionName(const void *address, const std::string &image) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    return "";
  }
  static std::mutex lock;
  static std::map<std::string, std::vector<Symbol>> files;
  std::lock_guard<std::mutex> guard(lock);
  auto found = files.find(image);
  if (found == files.end()) {
    found = files.emplace(image, readSymbols(image)).first;
  }
  uint64_t offset = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_fbase);
  const std::vector<Symbol> &symbols = found->second;
  auto after = std::upper_bound(symbols.begin(), symbols.end(), offset,
                                [](uint64_t value, const Symbol &symbol) { return value < symbol.value; });
  if (after == symbols.begin()) {
    return "";
  }
  const Symbol &symbol = *std::prev(after);
  return offset < symbol.value + std::max<uint64_t>(symbol.size, 1) ? symbol.name : "";
}

} // namespace sim
