// What a boot did, for people (text) and for programs (JSON).
#pragma once

#include "Boot.h"

#include <nlohmann/json.hpp>
#include <string>

namespace sim {

// The name of a GUID this platform knows, else its text form.
std::string guidDisplayName(const EFI_GUID &guid);

std::string textSummary(Simulation &simulation);
nlohmann::json jsonReport(Simulation &simulation);
std::string textTrace(const Machine &machine);

} // namespace sim
