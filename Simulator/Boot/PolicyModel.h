// SPDX-License-Identifier: BSD-2-Clause-Patent
// The USB/SD-card and SATA port policy as the platform's rules state it,
// written as tables: what a board's attributes, System ID, SATA mode and
// port list call for. It shares nothing with the driver's code, so a check
// that compares the two catches a fault in either.
#pragma once

#include "Record.h"

namespace sim {

// What the hardware and the PCD ended with, read from the record.
PolicyOutcome actualPolicy(const BootRecord &record);

// What the board calls for; nullopt (with the reason in *note) when the
// boot cannot be predicted from its settings: the driver never reached End
// of DXE, the machine halted, or failures were injected.
std::optional<PolicyOutcome> expectedPolicy(const Board &board, const BootRecord &record, std::string *note);

} // namespace sim
