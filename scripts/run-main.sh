#!/usr/bin/env bash
# The main job: installs what is missing, builds, runs a live-link session of
# the add-on with velmar on the host's sample building (pictures, glTF,
# COLLADA and a short report in build/default/main-job), then the user
# interface demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
python3 standins/velmar/scripts/main_job.py
exec bash scripts/demo.sh
