// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim: boots a board with the driver on the simulated platform and shows
// what happened, with a verdict. The command line is Cli.cpp's.
#include "Boot/Boot.h"
#include "Boot/Record.h"
#include "Cli.h"

#include <optional>
#include <string>
#include <vector>

namespace {

// The named checks as a judge of explored boots. The invariants that every
// explored boot keeps already carry the names entry, events, pool and
// s3.handoff; the checks of those names are left to them. A check the board
// expects to come out as it did passes; with failures injected, a failing
// check is what the failure caused and is shown as a warning (the
// invariants and the failure-path rule judge those boots); a rule that
// never fired is a mistake of the board's either way.
sim::explore::Judge checksJudge() {
  return [](sim::Simulation &simulation) {
    std::vector<sim::explore::Verdict> out;
    bool injects = !simulation.board().failures.empty();
    for (const sim::CheckResult &check : simulation.record().checks) {
      if (check.name == "entry" || check.name == "events" || check.name == "pool" ||
          check.name == "s3.handoff") {
        continue;
      }
      std::string verdict =
          check.expected == std::optional<std::string>(check.verdict) ? "pass" : check.verdict;
      if (injects && verdict == "fail" && check.name != "board.fail-rules") {
        verdict = "warn";
      }
      out.push_back(sim::explore::Verdict{check.name, verdict, check.reason});
    }
    return out;
  };
}

} // namespace

int main(int argc, char **argv) {
  return dxesim::run(argc, argv, checksJudge());
}
