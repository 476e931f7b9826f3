#!/usr/bin/env bash
# The Windows half of the test suite alone (scripts/test.sh runs it after
# the Linux presets): builds the link's lower half and velmar for 64-bit
# Windows (MinGW-w64, the `windows` preset) and runs their tests on the real
# Win32 API under Wine, in a private prefix inside build/windows.
# What runs there and what does not: docs/windows.md.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

run() { echo "== $*"; "$@"; }

# The Linux build's resource compiler when there is one; else the Windows
# build makes its own for this machine (build/windows/native-tools).
resc="$PWD/build/default/standins/host/resc/corv_resc"
if [ -x "$resc" ]; then run cmake --preset windows -DCORV_RESC_COMMAND="$resc"; else run cmake --preset windows; fi
run cmake --build --preset windows
run ctest --preset windows
