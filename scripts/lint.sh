#!/usr/bin/env bash
# The house's tools over the sources, so that style and the classic C++
# mistakes are kept by tools rather than by reviewers:
#   - clang-format-14: every C++ file of the repository is laid out as
#     .clang-format says (nothing is rewritten; a difference is a failure);
#   - with --tidy, clang-tidy-14 as well: the checks of .clang-tidy over
#     the product's and the stand-ins' sources (their tests, benchmarks and
#     fuzz targets are left to the compiler's warnings), with the flags of
#     a configured Linux build (build/default unless BUILD is given; build
#     it first). The Windows-only sources are checked by the Windows
#     build's warnings. It costs about 6 s of CPU a file, about ten
#     minutes of the test command on two cores.
# Exits 1 when a tool objects, printing what it objects to.
#
#   scripts/lint.sh [--tidy] [BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
tidy=0
if [ "${1:-}" = --tidy ]; then
  tidy=1
  shift
fi
build="${1:-build/default}"
jobs="$(nproc)"

mapfile -t sources < <(find addon base collada context livelink platform renderer scene util standins tests bench fuzz \
  -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
status=0
echo "lint: clang-format over ${#sources[@]} files"
if ! printf '%s\0' "${sources[@]}" | xargs -0 -P "$jobs" -n 40 clang-format-14 --dry-run -Werror; then
  echo "lint: clang-format-14 would lay the files above out differently (clang-format-14 -i FILE mends them)"
  status=1
fi

if [ "$tidy" = 0 ]; then
  [ "$status" = 0 ] && echo "lint: clean" || echo "lint: failed" >&2
  exit "$status"
fi

if [ ! -f "$build/compile_commands.json" ]; then
  echo "lint: $build/compile_commands.json is missing: configure and build that preset first" >&2
  exit 1
fi
# The product's and the stand-ins' translation units of that build.
mapfile -t units < <(python3 - "$build/compile_commands.json" "$PWD" <<'EOF'
import json, re, sys
root = sys.argv[2].rstrip('/') + '/'
skip = re.compile(r'(^|/)(tests?|bench|fuzz|build[^/]*)/')
files = sorted({e['file'] for e in json.load(open(sys.argv[1]))})
for f in files:
    if f.startswith(root) and not skip.search(f[len(root):]):
        print(f[len(root):])
EOF
)
echo "lint: clang-tidy over ${#units[@]} translation units"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if ! printf '%s\0' "${units[@]}" | xargs -0 -P "$jobs" -n 4 clang-tidy-14 -p "$build" --quiet >"$log" 2>&1; then
  status=1
fi
# clang-tidy counts the warnings of system headers it did not show.
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^[0-9]+ warnings? treated as errors?$' \
  "$log" || true
if [ "$status" != 0 ]; then
  echo "lint: failed" >&2
else
  echo "lint: clean"
fi
exit "$status"
