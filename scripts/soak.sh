#!/usr/bin/env bash
# Runs the test presets again and again while two busy processes keep both
# cores loaded, to find tests that depend on the scheduler rather than on
# events. Not part of the test command: every failure it finds is a test
# (or a race in the product) to fix.
#
#   scripts/soak.sh [DEFAULT_RUNS] [SANITIZER_RUNS] [CTEST_ARGS...]
#
# DEFAULT_RUNS (20) runs of the default preset, then SANITIZER_RUNS (5) of
# the asan and tsan presets each; CTEST_ARGS (e.g. -R Livelink) narrow every
# run. The builds must exist (scripts/test.sh makes them). Each run's output
# is kept in build/soak/; the failing tests are tallied at the end, and the
# script exits non-zero when any run failed. SOAK_BUSY (2) is the number of
# busy loops it starts; 0 when the caller keeps the cores busy with work of
# its own (two fuzzers, say).
set -uo pipefail
cd "$(dirname "$0")/.."

default_runs=${1:-20}
sanitizer_runs=${2:-5}
shift $(($# < 2 ? $# : 2))

log=build/soak
rm -rf "$log"
mkdir -p "$log"

load=()
stop_load() { for p in "${load[@]}"; do kill "$p" 2>/dev/null; done; }
trap stop_load EXIT
for ((b = 0; b < ${SOAK_BUSY:-2}; b++)); do
  sh -c 'while :; do :; done' &
  load+=($!)
done

failed_runs=0
runs=0
soak() {
  local preset=$1 count=$2
  shift 2
  [ -d "build/$preset" ] || { echo "soak: build/$preset is missing: run scripts/test.sh first" >&2; exit 2; }
  for ((i = 1; i <= count; i++)); do
    local out="$log/$preset-$i.txt"
    local start=$SECONDS
    ctest --preset "$preset" "$@" >"$out" 2>&1
    local rc=$?
    runs=$((runs + 1))
    local summary
    summary=$(grep -E 'tests passed|tests failed' "$out" | tail -n 1)
    echo "soak: $preset run $i/$count: ${summary:-no summary} ($((SECONDS - start)) s)"
    if [ $rc -ne 0 ]; then
      failed_runs=$((failed_runs + 1))
      grep -E '^\s+[0-9]+ - ' "$out" | sed "s/^/  $preset run $i: /"
    fi
  done
}

soak default "$default_runs" "$@"
for preset in asan tsan; do soak "$preset" "$sanitizer_runs" "$@"; done

echo
echo "soak: $failed_runs of $runs runs failed, with ${SOAK_BUSY:-2} busy loops beside the tests"
if [ $failed_runs -gt 0 ]; then
  echo "soak: failures by test:"
  cat "$log"/*.txt | grep -E '^\s+[0-9]+ - ' | sed -E 's/^\s+[0-9]+ - //' | sort | uniq -c | sort -rn
  exit 1
fi
