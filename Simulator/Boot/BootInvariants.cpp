// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "BootInvariants.h"

#include <fmt/format.h>

namespace sim {

std::vector<std::string> bootInvariantViolations(const Simulation &simulation) {
  std::vector<std::string> out;
  const BootOutcome &outcome = simulation.outcome();
  if (outcome.halt && outcome.halt->reason == HaltReason::TimeBudget) {
    out.push_back("runaway: " + outcome.halt->detail);
  }
  if (outcome.entryStatus && *outcome.entryStatus != EFI_SUCCESS) {
    out.push_back(fmt::format("the entry point returned 0x{:X}, not EFI_SUCCESS", *outcome.entryStatus));
  }
  if (const SmmCommunicationModel *smm = simulation.s3().smmCommunication()) {
    if (smm->calls().size() > 1) {
      out.push_back(fmt::format("the S3 table was handed to SMM {} times", smm->calls().size()));
    }
    for (const SmmCommunicateCall &call : smm->calls()) {
      if (!call.accepted) {
        out.push_back("the SMM handler refused the hand-off: " + call.reason);
      }
    }
  }
  for (const std::string &diagnostic : simulation.core().diagnostics()) {
    if (diagnostic.find("FreePool") != std::string::npos ||
        diagnostic.find("AllocatePool") != std::string::npos) {
      out.push_back("pool misuse: " + diagnostic);
    }
  }
  return out;
}

} // namespace sim
