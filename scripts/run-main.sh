#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
exec bash scripts/demo.sh
