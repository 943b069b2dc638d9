// SPDX-License-Identifier: BSD-2-Clause-Patent
// Virtual time as every text output shows it: one unit, milliseconds with
// microsecond digits ("41.234 ms").
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// Truncated to the microsecond, never rounded up: a time shown is never
// later than the event, so a trace window that starts at it holds the event.
std::string msText(uint64_t ns);

} // namespace sim
