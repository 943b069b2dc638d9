// SPDX-License-Identifier: BSD-2-Clause-Patent
// One self-contained page of a boot, from its record alone: the timeline
// drawn as inline SVG, the checks, the console of both UARTs and the S3
// save table as handed off. No script, no external resource; everything
// that comes from the boot is escaped. Slices, instants and checks carry
// classes and data- attributes a test can find them by.
#pragma once

#include "Record.h"

#include <string>
#include <string_view>

namespace sim {

// Text made safe in HTML content and attribute values: & < > " ' as
// entities, control bytes and bytes past 0x7E as "\xNN" (escapedBytes).
std::string htmlText(std::string_view text);

std::string htmlReport(const BootRecord &record);

} // namespace sim
