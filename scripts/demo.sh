#!/usr/bin/env bash
# The demonstration the main job runs once everything is built.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "Nothing to demonstrate yet."
