#!/usr/bin/env bash
# The whole test suite, from a fresh Debian 12 machine: installs what is
# missing, builds, runs every test, then builds and reruns the shared-memory
# and concurrency tests under AddressSanitizer+UBSan and ThreadSanitizer,
# then fuzzes every input the product reads for a few seconds each (fuzz/).
# The Windows half (Wine) is scripts/test-windows.sh (docs/windows.md).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

run() { echo "== $*"; "$@"; }

run cmake --preset default
run cmake --build --preset default
run ctest --preset default

if [ "${CORV_SKIP_SANITIZERS:-0}" != 1 ]; then
  for s in asan tsan; do
    run cmake --preset "$s"
    run cmake --build --preset "$s"
    run ctest --preset "$s"
  done
fi

if [ "${CORV_SKIP_FUZZ:-0}" != 1 ]; then
  run cmake --preset fuzz
  run cmake --build --preset fuzz
  run ctest --preset fuzz
fi
