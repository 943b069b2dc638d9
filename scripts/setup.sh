#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
# Installs what the build needs on Debian 12. Safe to run again.
#   scripts/setup.sh run        the tool and the images: compilers and libraries
#   scripts/setup.sh [test]     also the tests, the sanitizers and fuzzing,
#                               QEMU with OVMF, and the linters
#   scripts/setup.sh coverage   the tests and gcovr
set -euo pipefail
run=(cmake ninja-build g++ clang lld pkg-config git
     libcli11-dev libtomlplusplus-dev nlohmann-json3-dev libfmt-dev)
tests=(libgtest-dev libgmock-dev libbenchmark-dev python3 python3-jsonschema python3-junitparser)
case "${1:-test}" in
  run) packages=("${run[@]}") ;;
  test) packages=("${run[@]}" "${tests[@]}" llvm libclang-rt-14-dev clang-format clang-tidy cppcheck
                  qemu-system-x86 ovmf mtools dosfstools chromium) ;;
  coverage) packages=("${run[@]}" "${tests[@]}" gcovr) ;;
  *) echo "setup.sh: unknown profile '$1' (run, test, coverage)" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  # Running needs none of what the compilers recommend (a minute of downloads).
  recommends=()
  [ "${1:-test}" != run ] || recommends=(--no-install-recommends)
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${recommends[@]}" "${missing[@]}"
fi
