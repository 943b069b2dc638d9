// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "DieRoot.h"

namespace sim {

// Only whole-dword accesses reach the pair; others fall through to the
// plain configuration bytes, as the pair decodes dwords only.
bool DieRoot::configRead(uint16_t offset, unsigned width, uint32_t *value) {
  if (width != 4) {
    return false;
  }
  switch (offset) {
  case kIndex:
    *value = index_;
    return true;
  case kData:
    *value = indirect(index_);
    return true;
  default:
    return false;
  }
}

bool DieRoot::configWrite(uint16_t offset, unsigned width, uint32_t value) {
  if (width != 4) {
    return false;
  }
  switch (offset) {
  case kIndex:
    index_ = value;
    return true;
  case kData:
    registers_[index_] = value;
    writes_.emplace_back(index_, value);
    return true;
  default:
    return false;
  }
}

uint32_t DieRoot::indirect(uint32_t reg) const {
  auto found = registers_.find(reg);
  return found == registers_.end() ? 0 : found->second;
}

} // namespace sim
