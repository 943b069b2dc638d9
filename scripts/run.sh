#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
# Installs what running needs, builds the tool and the images (not the
# tests: scripts/test.sh builds those) and boots the reference board.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh run
cmake --preset host >/dev/null
cmake --build --preset host --target dxesim UefiImages
exec build/host/bin/dxesim boot boards/reference.toml "$@"
