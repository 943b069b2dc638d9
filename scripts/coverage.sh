#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
# Where the tests reach in the driver (Features, Library, Override; the
# stand-ins and the host code apart). Builds the coverage preset (gcov) and
# writes into build/coverage/report:
#   index.html, cobertura.xml, coverage.lcov, summary.txt
#       the test command as a whole (the OVMF boot aside);
#   boards.md, matrices.md (and .json)
#       each shipped board, and each outcome group of the matrices (policy
#       with its t3 covering, platform with its own strategy): its lines and
#       branches, the lines no other board or group reaches, and which of
#       them reach each line that not all of them reach.
# Exit status: that of the tests (the reports are written either way).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh coverage
cmake --preset coverage >/dev/null
cmake --build --preset coverage
build=build/coverage
out=$build/report
dxesim=$build/bin/dxesim
rm -rf "$out"
mkdir -p "$out/runs"
gcovr_args=(--root . --object-directory "$build" --filter 'Features/' --filter 'Library/' --filter 'Override/'
            --exclude-unreachable-branches --exclude-throw-branches -j "$(nproc)"
            --exclude-directories '.*Edges\.dir')
reset() { find "$build" -name '*.gcda' -delete; }
# run NAME: what ran since the last reset, as gcovr's JSON.
run() { gcovr "${gcovr_args[@]}" --json "$out/runs/$1.json"; }

reset
status=0
ctest --preset coverage -E '^OvmfBoot$' -j"$(nproc)" --output-on-failure >"$out/tests.log" 2>&1 || status=$?
tail -3 "$out/tests.log"
gcovr "${gcovr_args[@]}" --json "$out/runs/tests.json" --html-details "$out/index.html" \
      --cobertura "$out/cobertura.xml" --txt "$out/summary.txt" --print-summary

for board in boards/*.toml; do
  reset
  "$dxesim" boot "$board" --quiet >/dev/null 2>&1 || true # failing boards count too
  run "board.$(basename "$board" .toml)"
done

for spec in policy:t3 platform:; do
  name=${spec%%:*}
  strategy=${spec#*:}
  cases=$out/matrix.$name
  "$dxesim" matrix "matrices/$name.toml" ${strategy:+--strategy "$strategy"} --out "$cases" --all \
      --json "$cases.json" --quiet --jobs 1 >/dev/null || true
  while read -r group ids; do
    reset
    for id in $ids; do
      "$dxesim" boot "$cases/case-$id.toml" --quiet >/dev/null 2>&1 || true
    done
    run "matrix.$name.$group"
  done < <(python3 scripts/coverage-report.py groups "$cases.json")
done

python3 scripts/coverage-report.py report "$out"
echo "coverage: reports in $out (index.html, boards.md, matrices.md)"
exit $status
