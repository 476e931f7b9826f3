#!/usr/bin/env bash
# The demonstration the main job runs once everything is built: hostsim opens
# the host's embedded sample building, loads an add-on and runs a short
# scripted session (host/hostsim/scripts/demo.hs). Pictures of the palette,
# the exported file and the session's JSON log stay in the output folder.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${CORV_BUILD_DIR:-build/default}"
HOSTSIM="$BUILD/host/hostsim/hostsim"
ADDON="${CORV_DEMO_ADDON:-$BUILD/host/tests/corv_uiaddon.so}"
OUT="${CORV_DEMO_DIR:-$BUILD/demo}"
if [ ! -x "$HOSTSIM" ]; then
  echo "demo: $HOSTSIM is not built (run the main job's build first)" >&2
  exit 1
fi
if [ ! -f "$ADDON" ]; then
  echo "demo: add-on $ADDON is not built" >&2
  exit 1
fi
mkdir -p "$OUT"
export DEMO_DIR
DEMO_DIR="$(cd "$OUT" && pwd)"
# The demonstration keeps its registry and windows to itself.
SCRATCH="$(mktemp -d)"
trap 'rm -rf "$SCRATCH"' EXIT
mkdir -p "$SCRATCH/hkcu" "$SCRATCH/hklm" "$SCRATCH/run"
export CORV_REGISTRY_HKCU="$SCRATCH/hkcu" CORV_REGISTRY_HKLM="$SCRATCH/hklm" CORV_RUNTIME_DIR="$SCRATCH/run"
"$HOSTSIM" --no-launch --echo --addon "$ADDON" --json "$DEMO_DIR/session.jsonl" run host/hostsim/scripts/demo.hs
echo "demo: palette pictures, the export and the session log are in $DEMO_DIR"
