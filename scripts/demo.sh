#!/usr/bin/env bash
# The demonstration the main job runs once everything is built: hostsim opens
# the host's embedded sample building, loads the Corvanta add-on module and
# runs a scripted session (standins/host/hostsim/scripts/demo.hs): menus, palette,
# settings, about box, a live link to a velmar the add-on starts itself, an
# edit, pause and resume, a COLLADA export, stop. Pictures of the palette,
# the export, the settings as stored and the session's JSON log stay in the
# output folder, which every run empties first.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${CORV_BUILD_DIR:-build/default}"
HOSTSIM="$BUILD/standins/host/hostsim/hostsim"
VELMAR="$BUILD/standins/velmar/velmar"
ADDON="${CORV_DEMO_ADDON:-$BUILD/addon/corvanta.so}"
OUT="${CORV_DEMO_DIR:-$BUILD/demo}"
for f in "$HOSTSIM" "$VELMAR"; do
  if [ ! -x "$f" ]; then
    echo "demo: $f is not built (run the main job's build first)" >&2
    exit 1
  fi
done
if [ ! -f "$ADDON" ]; then
  echo "demo: add-on $ADDON is not built" >&2
  exit 1
fi

# Start from an empty output folder, but never empty a folder that is not
# one of ours (CORV_DEMO_DIR could name anything).
MARK=".corvanta-demo"
if [ -d "$OUT" ] && [ -n "$(ls -A "$OUT")" ] && [ ! -f "$OUT/$MARK" ]; then
  echo "demo: $OUT holds files that are not from a demonstration; choose another CORV_DEMO_DIR" >&2
  exit 1
fi
rm -rf "$OUT"
mkdir -p "$OUT"
touch "$OUT/$MARK"
export DEMO_DIR
DEMO_DIR="$(cd "$OUT" && pwd)"

# The demonstration keeps its registry and windows to itself.
SCRATCH="$(mktemp -d)"
mkdir -p "$SCRATCH/hkcu" "$SCRATCH/hklm" "$SCRATCH/run"
export CORV_REGISTRY_HKCU="$SCRATCH/hkcu" CORV_REGISTRY_HKLM="$SCRATCH/hklm" CORV_RUNTIME_DIR="$SCRATCH/run"
# The renderer the add-on starts runs on after the session: end the velmar
# processes whose windows are in this demonstration's own window registry.
end_renderers() {
  local record pid
  for record in "$SCRATCH/run/windows/"*.json; do
    [ -f "$record" ] || continue
    grep -qi '"class": *"[^"]*velmar' "$record" || continue
    pid="$(sed -n 's/.*"pid": *\([0-9][0-9]*\).*/\1/p' "$record" | head -n 1)"
    if [ -n "$pid" ] && [ "$(readlink "/proc/$pid/exe" 2>/dev/null | grep -ci velmar)" -gt 0 ]; then
      kill "$pid" 2>/dev/null || true
    fi
  done
}
trap 'end_renderers; rm -rf "$SCRATCH"' EXIT

# Velmar is installed on this (scratch) machine but not running: starting the
# link offers to start it.
"$VELMAR" install > /dev/null
"$HOSTSIM" --no-launch --echo --addon "$ADDON" --json "$DEMO_DIR/session.jsonl" run standins/host/hostsim/scripts/demo.hs
cp "$SCRATCH/hkcu/Software/Torvik/PluginForArchiCAD/.values.json" "$DEMO_DIR/settings.json" 2>/dev/null || true
echo "demo: palette pictures, the export, the stored settings and the session log are in $DEMO_DIR"
