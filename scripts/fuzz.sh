#!/usr/bin/env bash
# Runs the fuzz targets (fuzz/) one after another, each for a given time or
# number of runs, and prints what each did: executions, executions per
# second, edges covered, findings. With --merge the inputs that reached new
# code go into the target's corpus in the repository (libFuzzer's merge: only
# those that add coverage). Findings are left in build/fuzz/fuzz/artifacts/;
# the exit status is 1 when any target found one.
#
#   scripts/fuzz.sh [--time SECONDS] [--runs N] [--merge] [--timeout S] [TARGET...]
#
# With both --time and --runs a target stops at whichever comes first (the
# long soak: --time 3600 --runs 10000000). Builds the fuzz preset first.
# One fuzzing process at a time: the machines this runs on are shared.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60 runs= merge=0 timeout=1 targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --time) seconds="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --merge) merge=1; shift ;;
    --timeout) timeout="$2"; shift 2 ;;
    -h|--help) sed -n 2,14p "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
all=(link_area connection_registry link_reader live_view registry_file settings obj_model project_file)
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

dict_of() {
  case "$1" in
    link_area|link_reader) echo link ;;
    connection_registry|registry_file|settings) echo registry ;;
    *) echo "$1" ;;
  esac
}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
out=build/fuzz/fuzz
mkdir -p "$out/artifacts" "$out/logs"
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer UBSAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/fuzz/lsan.supp}"

failed=0
printf '%-20s %12s %9s %8s %8s %s\n' target executions exec/s edges rss_mb findings
for t in "${targets[@]}"; do
  corpus="fuzz/corpus/$t"
  found="$out/found/$t"
  rm -rf "$found"
  mkdir -p "$found"
  limit=(-max_total_time="$seconds")
  [ -z "$runs" ] || limit+=(-runs="$runs")
  log="$out/logs/$t.log"
  before=$(ls "$out/artifacts" | grep -c "^$t-" || true)
  status=0
  "$out/fuzz_$t" "${limit[@]}" -timeout="$timeout" -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/$t-" -dict="fuzz/dict/$(dict_of "$t").dict" "$found" "$corpus" \
    >"$log" 2>&1 || status=$?
  after=$(ls "$out/artifacts" | grep -c "^$t-" || true)
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)
  edges=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  findings=$((after - before))
  printf '%-20s %12s %9s %8s %8s %s\n' "$t" "${executions:-?}" "${speed:-?}" "${edges:-?}" "${rss:-?}" \
    "$findings$([ "$status" = 0 ] || echo " (exit $status, see $log)")"
  if [ "$status" != 0 ] || [ "$findings" != 0 ]; then failed=1; fi
  if [ "$merge" = 1 ]; then
    "$out/fuzz_$t" -merge=1 -timeout="$timeout" -rss_limit_mb=2048 "$corpus" "$found" >>"$log" 2>&1 || failed=1
  fi
done
exit $failed
