#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
# Builds the UEFI images and dxesim, boots boards in Debian's OVMF under QEMU
# and in the simulator, and compares the runs (scripts/ovmf-boot.py). Without
# arguments: every shipped board OVMF can express; else the options given,
# such as --board boards/mine.toml. The logs stay in build/ovmf-logs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host >/dev/null
cmake --build build/host --target dxesim UefiImages
if [ $# -eq 0 ]; then
  set -- --all boards
fi
exec python3 scripts/ovmf-boot.py --images build/host/uefi --dxesim build/host/bin/dxesim --logs build/ovmf-logs "$@"
