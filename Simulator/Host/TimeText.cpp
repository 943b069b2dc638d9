// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Host/TimeText.h"

#include <fmt/format.h>

namespace sim {

std::string msText(uint64_t ns) {
  // Integers throughout: a double loses the microseconds past 2^53 ns.
  uint64_t us = ns / 1000;
  return fmt::format("{}.{:03} ms", us / 1000, us % 1000);
}

} // namespace sim
