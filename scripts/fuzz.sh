#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause-Patent
# A fuzzing campaign: scripts/fuzz.sh [TARGET] [SECONDS]
#
# Configures and builds the fuzz preset (build/fuzz, clang with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer), then fuzzes TARGET
# (board, s3, print, hob, boot, matrix, ovmf or cli; default: each in turn) for SECONDS each
# (default 60). The working corpus grows in build/fuzz/corpus/TARGET, seeded
# from Tests/Fuzz/corpus/TARGET; findings land in build/fuzz/findings/TARGET.
# A finding of the boot target becomes a board for `dxesim boot` with
#   build/fuzz/bin/fuzz-board-from-bytes FINDING board.toml
# The boot target fuzzes in the fuzz-boot preset (build/fuzz-boot: the
# same target with UndefinedBehaviorSanitizer on the driver, its libraries
# and the harness only, and no compare tracing, about eight times faster: a
# boot allocates often, AddressSanitizer's allocator then costs most of it,
# and the simulator's checks and traced compares most of the rest); every
# input its campaign kept is then run once more in the fuzz build, under
# both sanitizers.
# Reproducers worth keeping go into Tests/Fuzz/regressions/TARGET, which
# FuzzRegressionTest replays. Extra libFuzzer options: $FUZZ_OPTIONS.
set -eu
cd "$(dirname "$0")/.."
target=${1:-all}
seconds=${2:-60}
case "$target" in
  all) targets="board s3 print hob boot matrix ovmf cli" ;;
  board|s3|print|hob|boot|matrix|ovmf|cli) targets=$target ;;
  *) echo "fuzz.sh: unknown target '$target' (board, s3, print, hob, boot, matrix, ovmf, cli, all)" >&2; exit 1 ;;
esac

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
case " $targets " in
  *" boot "*)
    cmake --preset fuzz-boot >/dev/null
    cmake --build --preset fuzz-boot ;;
esac

status=0
for t in $targets; do
  mkdir -p "build/fuzz/corpus/$t" "build/fuzz/findings/$t"
  dict=""
  if [ -f "Tests/Fuzz/$t.dict" ]; then
    dict="-dict=Tests/Fuzz/$t.dict"
  fi
  echo "== fuzz-$t for $seconds s"
  bin=build/fuzz/bin
  [ "$t" != boot ] || bin=build/fuzz-boot/bin
  # shellcheck disable=SC2086
  if ! $bin/fuzz-$t -max_total_time="$seconds" -timeout=20 -rss_limit_mb=3072 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/findings/$t/" $dict ${FUZZ_OPTIONS:-} \
      "build/fuzz/corpus/$t" "Tests/Fuzz/corpus/$t"; then
    echo "fuzz.sh: fuzz-$t found something: see build/fuzz/findings/$t" >&2
    status=1
  fi
  if [ "$t" = boot ] && ! build/fuzz/bin/fuzz-boot -runs=0 -timeout=20 -rss_limit_mb=3072 \
      -artifact_prefix="build/fuzz/findings/$t/" "build/fuzz/corpus/$t" >"build/fuzz/findings/$t/replay.log" 2>&1; then
    tail -40 "build/fuzz/findings/$t/replay.log" >&2
    echo "fuzz.sh: an input of build/fuzz/corpus/boot fails under AddressSanitizer: see build/fuzz/findings/$t" >&2
    status=1
  fi
done
exit $status
