#!/usr/bin/env bash
# The live link's exactness test, long: many seeds on a bigger building, each
# run the default suite's test with more and longer edit sequences. Prints one
# line per seed (passed, or FAILED with the sequences that differed) and a
# summary; the log of every failed seed stays in the output folder.
#
#   scripts/exactness-soak.sh [RUNS] [TRIANGLES]
#
# Environment: CORV_BUILD_DIR (default build/default), CORV_SOAK_DIR (default
# $CORV_BUILD_DIR/exactness-soak), CORV_SOAK_SEEDS (seeds to run, space
# separated, instead of random ones), CORV_EXACTNESS_SEQUENCES (default 8),
# CORV_EXACTNESS_EDITS (default 24).
set -uo pipefail
cd "$(dirname "$0")/.."
runs="${1:-20}"
triangles="${2:-1500000}"
build="${CORV_BUILD_DIR:-build/default}"
out="${CORV_SOAK_DIR:-$build/exactness-soak}"
test="$build/tests/system_link_exactness_test"
if [ ! -x "$test" ]; then
  echo "exactness-soak: $test is not built (cmake --build $build --target system_link_exactness_test)" >&2
  exit 2
fi
mkdir -p "$out"
export CORV_EXACTNESS_TRIANGLES="$triangles"
export CORV_EXACTNESS_SEQUENCES="${CORV_EXACTNESS_SEQUENCES:-8}"
export CORV_EXACTNESS_EDITS="${CORV_EXACTNESS_EDITS:-24}"

if [ -n "${CORV_SOAK_SEEDS:-}" ]; then
  read -r -a seeds <<<"$CORV_SOAK_SEEDS"
else
  seeds=()
  for ((i = 0; i < runs; i++)); do seeds+=($(( (RANDOM << 15 | RANDOM) ))); done
fi

passed=0
failed=()
start=$(date +%s)
for seed in "${seeds[@]}"; do
  log="$out/seed-$seed.log"
  t0=$(date +%s)
  if CORV_EXACTNESS_SEED="$seed" "$test" --gtest_brief=1 >"$log" 2>&1; then
    echo "seed $seed: passed ($(( $(date +%s) - t0 )) s)"
    passed=$((passed + 1))
    rm -f "$log"
  else
    differing=$(grep -o '^sequence [0-9]*: .*DIFFERS' "$log" | cut -d: -f1 | tr '\n' ' ')
    echo "seed $seed: FAILED ($(( $(date +%s) - t0 )) s) ${differing:-(see the log)}: $log"
    failed+=("$seed")
  fi
done
echo "exactness soak: ${#seeds[@]} seeds, $triangles triangles, $CORV_EXACTNESS_SEQUENCES sequences of" \
  "$CORV_EXACTNESS_EDITS edits each, $(( $(date +%s) - start )) s: $passed passed, ${#failed[@]} failed" \
  "${failed[*]:+(seeds ${failed[*]})}"
[ ${#failed[@]} -eq 0 ]
