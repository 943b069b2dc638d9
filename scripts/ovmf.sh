#!/usr/bin/env bash
# Builds the UEFI images and boots them in Debian's OVMF under QEMU; the
# logs of both UARTs stay in build/ovmf-logs for a reader.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host
exec python3 scripts/ovmf-boot.py --images build/host/uefi --logs build/ovmf-logs "$@"
