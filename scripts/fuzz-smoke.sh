#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause-Patent
# A short fuzzing pass for the test run: builds the fuzz preset, runs each
# target from its seed corpus for a few seconds (about 30 s in all), then
# replays every saved reproducer of Tests/Fuzz/regressions through its
# target. Exit status 0 when nothing was found.
set -eu
cd "$(dirname "$0")/.."
seconds=${FUZZ_SMOKE_SECONDS:-4}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for t in board s3 print hob boot matrix ovmf cli; do
  dict=""
  if [ -f "Tests/Fuzz/$t.dict" ]; then
    dict="-dict=Tests/Fuzz/$t.dict"
  fi
  mkdir -p "$work/$t"
  # shellcheck disable=SC2086
  if ! build/fuzz/bin/fuzz-$t -max_total_time="$seconds" -timeout=20 -rss_limit_mb=3072 -print_final_stats=1 \
      -artifact_prefix="$work/" $dict "$work/$t" "Tests/Fuzz/corpus/$t" >"$work/$t.log" 2>&1; then
    tail -40 "$work/$t.log" >&2
    echo "fuzz-smoke: fuzz-$t found something (input kept in build/fuzz/smoke-findings)" >&2
    mkdir -p build/fuzz/smoke-findings
    cp "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$work"/oom-* build/fuzz/smoke-findings/ 2>/dev/null || true
    status=1
  else
    echo "fuzz-smoke: fuzz-$t: $(grep -o 'cov: [0-9]* ft: [0-9]*' "$work/$t.log" | tail -1)," \
      "$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t.log") runs"
  fi
  if [ -d "Tests/Fuzz/regressions/$t" ]; then
    if ! build/fuzz/bin/fuzz-$t Tests/Fuzz/regressions/$t/* >"$work/$t-replay.log" 2>&1; then
      tail -40 "$work/$t-replay.log" >&2
      echo "fuzz-smoke: a reproducer of Tests/Fuzz/regressions/$t fails again" >&2
      status=1
    fi
  fi
done
exit $status
