#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
# Installs what the build needs on Debian 12. Safe to run again.
set -euo pipefail
packages=(cmake ninja-build g++ clang lld llvm pkg-config git
          libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev libtomlplusplus-dev nlohmann-json3-dev libfmt-dev
          clang-format clang-tidy cppcheck
          qemu-system-x86 ovmf mtools dosfstools python3 python3-jsonschema python3-junitparser libclang-rt-14-dev
          chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
