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

// For an attribute value the policy does not act on: the value it acts on
// that differs from it only in case or spacing ("OnlyBackPortsOn" for
// "only back ports on", "Port5" for "Port 5" when a SATA port is named
// "SATA Port5"), if there is one.
std::optional<std::u16string> nearlyActedOnValue(const Board &board, std::u16string_view name,
                                                 std::u16string_view value);

} // namespace sim
