// SPDX-License-Identifier: BSD-2-Clause-Patent
// Names of functions in the loaded host images, for telling where a call
// came from: the images keep their symbols hidden, so the names come from
// each image file's own symbol table.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim::explore {

class ImageSymbols {
public:
  // "OrunS3SaveCloseTableCallBack" for an address inside that function of a
  // loaded image; "" when no image or symbol holds it.
  std::string functionAt(uintptr_t address);

private:
  struct Function {
    uint64_t start, size;
    std::string name;
  };
  std::map<std::string, std::vector<Function>> files_; // by image file, sorted by start
};

} // namespace sim::explore
