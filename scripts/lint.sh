#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
# Static checks: formatting of every tracked C++ file, and cppcheck over the
# firmware and the host code. Prints what it finds; exits non-zero if any.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
if ! git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror 2>&1 | head -40; then
  status=1
fi
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror >/dev/null 2>&1 || status=1
out=$(cppcheck --quiet --enable=warning,portability --std=c++20 --inline-suppr --error-exitcode=1 \
      -I Edk2/Include -I Include -I HwAccess/Include Features Library Override Edk2/Library HwAccess Tests/Firmware 2>&1) || status=1
[ -n "$out" ] && echo "$out"
exit $status
