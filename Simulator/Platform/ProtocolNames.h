// SPDX-License-Identifier: BSD-2-Clause-Patent
// The protocols a board installs for the other platform modules: the key of
// their [platform.<key>] table, the name their [[fail]] service names start
// with ("VroSata.GetPortList") and their GUID. One table, so the board
// reader, the board printer and the documentation's test agree.
#pragma once

#include <Uefi.h>

#include <span>
#include <string_view>

namespace sim {

struct PlatformProtocol {
  std::string_view key;  // [platform.<key>]
  std::string_view name; // the prefix of its service names
  std::string_view what; // as messages say it
  const EFI_GUID *guid;
};

// In the order the board file lists them.
std::span<const PlatformProtocol> platformProtocols();

} // namespace sim
