// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore/Symbols.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim::explore {

namespace {

template <typename T> bool readAt(const std::vector<char> &bytes, uint64_t offset, T &out) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
    return false;
  }
  std::memcpy(&out, bytes.data() + offset, sizeof(T));
  return true;
}

std::string demangled(const char *name) {
  int status = 0;
  char *plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string out = status == 0 && plain != nullptr ? plain : name;
  std::free(plain);
  size_t paren = out.find('(');
  return paren == std::string::npos ? out : out.substr(0, paren);
}

} // namespace

std::string ImageSymbols::functionAt(uintptr_t address) {
  Dl_info info{};
  if (address == 0 || dladdr(reinterpret_cast<void *>(address), &info) == 0 || info.dli_fname == nullptr) {
    return "";
  }
  auto [it, fresh] = files_.try_emplace(info.dli_fname);
  if (fresh) {
    std::ifstream in(info.dli_fname, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Elf64_Ehdr header{};
    if (readAt(bytes, 0, header) && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
        header.e_ident[EI_CLASS] == ELFCLASS64) {
      for (unsigned i = 0; i < header.e_shnum; i++) {
        Elf64_Shdr section{}, strings{};
        if (!readAt(bytes, header.e_shoff + uint64_t{i} * header.e_shentsize, section) ||
            section.sh_type != SHT_SYMTAB ||
            !readAt(bytes, header.e_shoff + uint64_t{section.sh_link} * header.e_shentsize, strings)) {
          continue;
        }
        for (uint64_t at = 0; at + sizeof(Elf64_Sym) <= section.sh_size; at += sizeof(Elf64_Sym)) {
          Elf64_Sym symbol{};
          if (!readAt(bytes, section.sh_offset + at, symbol) || ELF64_ST_TYPE(symbol.st_info) != STT_FUNC ||
              symbol.st_value == 0 || symbol.st_name >= strings.sh_size) {
            continue;
          }
          const char *name = bytes.data() + strings.sh_offset + symbol.st_name;
          if (strings.sh_offset + symbol.st_name >= bytes.size() ||
              std::memchr(name, 0, bytes.size() - (strings.sh_offset + symbol.st_name)) == nullptr) {
            continue;
          }
          it->second.push_back(
              Function{symbol.st_value, std::max<uint64_t>(symbol.st_size, 1), demangled(name)});
        }
      }
      std::sort(it->second.begin(), it->second.end(),
                [](const Function &a, const Function &b) { return a.start < b.start; });
    }
  }
  uint64_t offset = address - reinterpret_cast<uintptr_t>(info.dli_fbase);
  const auto &functions = it->second;
  auto after = std::upper_bound(functions.begin(), functions.end(), offset,
                                [](uint64_t value, const Function &f) { return value < f.start; });
  if (after == functions.begin()) {
    return "";
  }
  const Function &candidate = *std::prev(after);
  return offset < candidate.start + candidate.size ? candidate.name : "";
}

} // namespace sim::explore
