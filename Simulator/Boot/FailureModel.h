// SPDX-License-Identifier: BSD-2-Clause-Patent
// What an injected failure of a firmware service must cause, call by call:
// the silent paths the driver's design documents, each naming the exact
// call it excuses (service, image, routine and which of the routine's calls
// of that service), and the checks whose outcome it decides. Any failure
// not listed must show as an assertion in the routine that made the call.
#pragma once

#include "Record.h"

#include <string_view>
#include <vector>

namespace sim {

struct SilentPath {
  std::string_view service;
  std::optional<EFI_GUID> guid;          // LocateProtocol: which protocol
  std::string_view image;                // "" any image carrying the library
  std::string_view routine;              // the notify function, or "entry"
  unsigned occurrence;                   // which of the routine's calls of the service; 0: any
  std::string_view step;                 // the step of the routine the call is
  std::string_view consequence;          // what the design says follows
  std::vector<std::string_view> decides; // checks whose outcome it decides
};

const std::vector<SilentPath> &silentPaths();
const SilentPath *findSilentPath(const FailureHitRecord &hit);

// Services whose failure gives an answer, not a status.
std::optional<std::string_view> answerWithoutStatus(std::string_view service);

// "KeshInitDxe KeshOnEndOfDxe" for a hit: the code name its assertions carry.
std::string hitCodeName(const FailureHitRecord &hit);

} // namespace sim
