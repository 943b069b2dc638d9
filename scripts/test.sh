#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
# Builds everything (the UEFI image included) and runs every test, in the
# host build and again in the sanitizer build, then a short fuzzing pass.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in host asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j"$(nproc)"
done
# A short coverage-guided fuzzing pass and the replay of its saved findings.
scripts/fuzz-smoke.sh
