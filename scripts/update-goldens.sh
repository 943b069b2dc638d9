#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
# Rewrites the golden record of every shipped board from the host build,
# after a change to the driver's behaviour has been reviewed: the diff of
# Tests/Goldens/ is what the reviewer reads. Usage: scripts/update-goldens.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/host}"
dxesim="$build/bin/dxesim"
[ -x "$dxesim" ] || { echo "update-goldens: $dxesim not found: build first (cmake --build --preset host)" >&2; exit 1; }
mkdir -p "$root/Tests/Goldens"
# A board that is gone takes its golden with it.
for golden in "$root"/Tests/Goldens/*.json; do
  [ -e "$golden" ] || continue
  [ -e "$root/boards/$(basename "$golden" .json).toml" ] || rm -v "$golden"
done
for board in "$root"/boards/*.toml; do
  name="$(basename "$board" .toml)"
  (cd "$root" && "$dxesim" record "boards/$name.toml" -o "Tests/Goldens/$name.json")
done
git -C "$root" status --short -- Tests/Goldens
