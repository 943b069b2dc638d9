// SPDX-License-Identifier: BSD-2-Clause-Patent
// libFuzzer entry point of one target (KESH_FUZZ_TARGET names it): a broken
// invariant aborts, so libFuzzer saves the input like any crash.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // A board may name /dev/stdin in `extends`; it must end, not wait for a terminal.
  if (std::freopen("/dev/null", "r", stdin) == nullptr) {
    std::perror("/dev/null");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Findings findings = fuzz::KESH_FUZZ_TARGET(std::span<const uint8_t>(data, size));
  for (const std::string &finding : findings) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", finding.c_str());
  }
  if (!findings.empty()) {
    std::abort();
  }
  return 0;
}
