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
    # The null driver is in the user's registry before Wine first boots the
    # prefix: the desktop (explorer.exe, started while wineboot is still
    # running) reads the driver once, and one that came up without a driver
    # refuses every top-level window until the wineserver ends. Setting the
    # key after the boot raced that start. Wine loads this file as the
    # user's hive and merges the rest of a new prefix into it.
    # A prefix this script began and did not finish is begun again; any
    # other folder of that name is not ours to remove.
    if [ -e "$WINEPREFIX" ]; then
      if [ -f "$WINEPREFIX/.corv-making" ]; then rm -rf "$WINEPREFIX"; else
        echo "wine-run.sh: $WINEPREFIX exists but was not made here; remove it or set CORV_WINEPREFIX" >&2
        exit 1
      fi
    fi
    mkdir -p "$WINEPREFIX"
    touch "$WINEPREFIX/.corv-making"
    printf '%s\n' 'WINE REGISTRY Version 2' '#arch=win64' '' \
      '[Software\\Wine\\Drivers]' '"Graphics"="null"' > "$WINEPREFIX/user.reg"
    # 9>&-: Wine's daemons must not inherit the lock (they would hold it
    # for as long as they live); their output goes nowhere, so no test's
    # output pipe stays open behind them.
    "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
    # Wait until the boot's own services have settled and the server has
    # saved the prefix (bounded: a server that does not end is ended).
    timeout 120 "$wineserver" -w </dev/null >/dev/null 2>&1 9>&- ||
      timeout 30 "$wineserver" -k </dev/null >/dev/null 2>&1 9>&- || true
    grep -q '"Graphics"="null"' "$WINEPREFIX/user.reg" || {
      echo "wine-run.sh: the new prefix $WINEPREFIX lost its null graphics driver" >&2; exit 1; }
    touch "$WINEPREFIX/.corv-ready"
    rm -f "$WINEPREFIX/.corv-making"
  fi
) 9>"$WINEPREFIX.lock"
# A wineserver that outlives each program by 20 s (the number must be
# attached: "-p 20" would keep it forever): without it every test process
# would start Wine's services anew (seconds instead of a tenth).
"$wineserver" -p20 </dev/null >/dev/null 2>&1 || true
# The first program of a server starts Wine's services (services.exe,
# winedevice, plugplay, rpcss), which inherit its standard output and hold
# it open until the server ends: CTest then waits on the first test for the
# whole suite. A program with no output of ours starts them first, under
# the lock so that two tests starting together do not both; once they run
# it costs a tenth of a second.
(
  flock 9
  "$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
) 9>"$WINEPREFIX.lock"
exec "$wine" "$prog" "$@"
