#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix: CORV_WINEPREFIX, else
# wineprefix/ in the build folder (the current folder's build/windows when the
# program lives there). The prefix is made on first use, under a lock so that
# parallel tests make it once, with the null graphics driver so that top-level
# windows work without a display. Exit code and output are the program's.
set -euo pipefail
prog="$1"; shift
if [ -z "${CORV_WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$prog")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = / ] && dir=$(cd "$(dirname "$prog")" && pwd)
  CORV_WINEPREFIX="$dir/wineprefix"
fi
export WINEPREFIX="$CORV_WINEPREFIX" WINEARCH=win64 WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer dialogs while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.corv-ready" ]; then
    # 9>&-: Wine's daemons must not inherit the lock (they would hold it
    # for as long as they live); their output goes nowhere, so no test's
    # output pipe stays open behind them.
    "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 9>&-
    touch "$WINEPREFIX/.corv-ready"
  fi
) 9>"$WINEPREFIX.lock"
# A wineserver that outlives each program by a little: without it every
# test process would start Wine's services anew (seconds instead of a tenth).
"$wineserver" -p 20 </dev/null >/dev/null 2>&1 || true
exec "$wine" "$prog" "$@"
