// SPDX-License-Identifier: BSD-2-Clause-Patent
// The names a failure rule can give a firmware service: the member names of
// the boot, runtime and DXE services tables, the PCD protocol's ("PCD.Set8")
// and the platform protocols' ("VroSata.GetPortList"), as the simulated
// core counts their calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::explore {

const std::vector<std::string_view> &serviceNames();
bool isServiceName(std::string_view name);

} // namespace sim::explore
