// SPDX-License-Identifier: BSD-2-Clause-Patent
// JUnit XML (the Jenkins/Surefire dialect) of a run of boots.
#pragma once

#include "Report/Suites.h"

#include <string>
#include <string_view>

namespace sim::report {

// Text as XML character data or an attribute value: markup escaped, and a
// byte XML 1.0 cannot carry (a control character, a byte that is not UTF-8)
// written as \xNN, so that firmware bytes a check quotes stay readable.
std::string xmlEscape(std::string_view text, bool attribute);

std::string junitXml(const TestRun &run);

} // namespace sim::report
